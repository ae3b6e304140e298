"""A raw SDR capture made into a SigMF recording, so that scenes can be laid over it (``--background``).

SDR tools write bare interleaved I/Q samples: ``rtl_sdr`` unsigned 8-bit (``cu8``), ``hackrf_transfer``
signed 8-bit (``ci8``), ``rx_samples_to_file --type short`` and SoapySDR's sc16 signed 16-bit
little-endian (``ci16``), GNU Radio's file sink and ``rx_samples_to_file --type float`` 32-bit floats
(``cf32``). ``python3 -m quorvin.capture RAW -o BASE --format cu8 --sample-rate HZ --frequency HZ``
writes ``BASE.sigmf-data`` and ``BASE.sigmf-meta``: float samples as ``cf32_le`` unchanged, integer
ones as ``ci16_le`` without rounding (8-bit values times 256, an unsigned one's centre 127.5
subtracted first) with ``quorvin:full_scale`` giving each format's full scale as 1.0. The data is read
and written in blocks, so a capture of any length takes little memory.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import math
import os
import sys
from typing import Optional

import numpy as np

__all__ = ["FORMATS", "sigmf_from_raw"]

# Each raw format: its element type, and for integer ones the ci16 value v = a x + b of a value x,
# and the full scale (what 32767 stands for) that reads v back as x over the format's full scale.
FORMATS = {
    "cu8": (np.uint8, 256, -32640, 32767 / 32640),  # (x - 127.5) / 127.5
    "ci8": (np.int8, 256, 0, 32767 / 32768),        # x / 128
    "ci16": (np.dtype("<i2"), 1, 0, 32767 / 32768),  # x / 32768
    "cf32": (np.dtype("<f4"), None, None, None),
}
_BLOCK = 1 << 20  # samples per block


def sigmf_from_raw(raw: str | os.PathLike, base: str | os.PathLike, format: str, sample_rate: float,
                   frequency: float = 0.0, description: Optional[str] = None) -> str:
    """Writes ``base.sigmf-data`` and ``base.sigmf-meta`` from the raw capture ``raw``; returns the base.

    ValueError naming the argument and its value for an unknown format, a rate that is not above 0, a
    frequency that is not finite, a file that holds no whole sample, or a base that is the raw file's own.
    """
    if format not in FORMATS:
        raise ValueError(f"format takes {', '.join(FORMATS)}, not {format!r}")
    if not (isinstance(sample_rate, (int, float)) and math.isfinite(sample_rate) and sample_rate > 0):
        raise ValueError(f"sample_rate takes a number of Hz above 0, not {sample_rate!r}")
    if not (isinstance(frequency, (int, float)) and math.isfinite(frequency)):
        raise ValueError(f"frequency takes a finite number of Hz, not {frequency!r}")
    raw, base = os.fspath(raw), os.fspath(base)
    for extension in (".sigmf-data", ".sigmf-meta"):
        if base.endswith(extension):
            base = base[: -len(extension)]
    data_path, meta_path = base + ".sigmf-data", base + ".sigmf-meta"
    if os.path.exists(data_path) and os.path.samefile(raw, data_path):
        raise ValueError(f"base {base!r}: its .sigmf-data is the raw capture itself; give another base")
    element, scale, offset, full_scale = FORMATS[format]
    width = 2 * np.dtype(element).itemsize
    size = os.path.getsize(raw)
    if size < width or size % width:
        raise ValueError(f"raw {raw!r}: {size} bytes, not a whole number of {format} samples ({width} bytes each)")
    digest = hashlib.sha512()
    temporary = data_path + ".partial"
    try:
        with open(raw, "rb") as source, open(temporary, "wb") as target:
            while block := source.read(_BLOCK * width):
                values = np.frombuffer(block, dtype=element)
                if scale is None:
                    out = values.astype("<f4", copy=False).tobytes()
                else:
                    out = (values.astype(np.int32) * scale + offset).astype("<i2").tobytes()
                digest.update(out)
                target.write(out)
        os.replace(temporary, data_path)
    finally:
        if os.path.exists(temporary):
            os.remove(temporary)
    glob = {"core:datatype": "cf32_le" if scale is None else "ci16_le", "core:sample_rate": float(sample_rate),
            "core:version": "1.0.0", "core:sha512": digest.hexdigest(),
            "core:description": description or f"{os.path.basename(raw)} ({format}) as recorded"}
    if full_scale is not None:
        glob["quorvin:full_scale"] = full_scale
    meta = {"global": glob, "captures": [{"core:sample_start": 0, "core:frequency": float(frequency)}], "annotations": []}
    with open(meta_path, "w", encoding="utf-8") as file:
        json.dump(meta, file, indent=2)
        file.write("\n")
    return base


def main(argv: Optional[list[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python3 -m quorvin.capture",
                                     description="Make a raw SDR capture a SigMF recording (for --background).")
    parser.add_argument("raw", help="the raw capture: interleaved I/Q samples")
    parser.add_argument("-o", "--output", required=True, help="the recording's base name (BASE.sigmf-data, BASE.sigmf-meta)")
    parser.add_argument("--format", required=True, help=f"the raw samples: {', '.join(FORMATS)}")
    parser.add_argument("--sample-rate", required=True, type=float, help="Hz")
    parser.add_argument("--frequency", type=float, default=0.0, help="the tuned centre frequency, Hz")
    parser.add_argument("--description", help="the recording's core:description")
    args = parser.parse_args(argv)
    try:
        base = sigmf_from_raw(args.raw, args.output, args.format, args.sample_rate, args.frequency, args.description)
    except (ValueError, OSError) as error:
        print(f"quorvin.capture: {error}", file=sys.stderr)
        return 2
    print(f"{base}.sigmf-data and {base}.sigmf-meta written")
    return 0


if __name__ == "__main__":
    sys.exit(main())
