"""Two folders of one run written by different programs: the same files, byte for byte, but for the
recorder each SigMF metadata file names, and so for each metadata file's digest in the collection."""

import hashlib
import json
import os


def assert_same_files(folder, reference):
    assert sorted(os.listdir(folder)) == sorted(os.listdir(reference))  # no temporary, no shard manifest
    for name in os.listdir(reference):
        written = (folder / name).read_bytes().replace(b'"quorvin-python ', b'"quorvin-cli ')
        if name.endswith(".sigmf-collection"):
            streams = json.loads(written)["collection"]["core:streams"]
            for stream in streams:
                meta = (folder / (stream["name"] + ".sigmf-meta")).read_bytes()
                assert stream["hash"] == hashlib.sha512(meta).hexdigest(), stream["name"]
            expected = json.loads((reference / name).read_bytes())["collection"]["core:streams"]
            assert [s["name"] for s in streams] == [s["name"] for s in expected], name
            continue
        assert written == (reference / name).read_bytes(), name
