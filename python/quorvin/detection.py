"""Scenes for detection tools: a capture's spectrogram and its emitters' boxes on it, as YOLO text
rows and COCO JSON, with the spectrogram images.

A spectrogram of ``fft_size`` and ``hop`` has one column per frame (frame t holds samples
t hop .. t hop + fft_size - 1) and one row per frequency bin, the highest frequency at the top
(row 0 is +fs/2, the last row -fs/2). A box of samples s0 .. s1 and frequencies f0 .. f1 covers
columns s0 / hop .. s1 / hop and rows (fs/2 - f1) / fs fft_size .. (fs/2 - f0) / fs fft_size,
clipped to the image: the labels' own box, in the image's pixels. A standard's emitter (ADS-B,
POCSAG, AIS, APRS, BLE, 802.11a/g) gives one box per frame instead, from its ``frame_starts`` to
its ``frame_ends`` in its band (``frame_boxes``): a packet detector finds packets, not the
silence between them.

Class ids count the run's own names (``dataset.names``, in class-index order) from 0, as
``TorchDataset(..., contiguous_classes=True)`` does: YOLO's ``classes.txt`` and ``data.yaml`` and
COCO's categories list those names alone. A box thinner than ``min_box`` pixels in either direction
(a voice-band signal in a wide capture is a fraction of a frequency bin tall) is widened to
``min_box`` about its centre, within the image; COCO marks it ``"enlarged": true`` with its own
``"true_bbox"``, and its ``info`` counts them.

``python3 -m quorvin.detection SOURCE -o FOLDER --format yolo|coco`` exports a scene run already
written (``quorvin.files.open_run``'s sources), the same bytes as exporting its Dataset.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Any, Iterable, Optional

import numpy as np

from . import _LARGEST_COUNT, Dataset, _whole

__all__ = ["spectrogram", "frame_boxes", "pixel_boxes", "yolo_rows", "export_detection", "widen_boxes"]

#: Fewest pixels a box spans in each direction unless told otherwise.
MIN_BOX_PIXELS = 1.0


def spectrogram(capture: np.ndarray, fft_size: int = 256, hop: int = 256) -> np.ndarray:
    """Power in dB of Hann-windowed frames, shape (fft_size, frames): rows from +fs/2 down to -fs/2."""
    fft_size, hop = _frame_sizes(fft_size, hop)
    if len(capture) < fft_size:
        raise ValueError(f"fft_size {fft_size} needs a capture of at least fft_size samples (it has {len(capture)})")
    frames = 1 + (len(capture) - fft_size) // hop
    starts = np.arange(frames) * hop
    windowed = capture[starts[:, None] + np.arange(fft_size)] * np.hanning(fft_size)
    power = np.abs(np.fft.fftshift(np.fft.fft(windowed, axis=1), axes=1)) ** 2
    return (10 * np.log10(power + 1e-30)).T[::-1].astype(np.float32)


def _frame_sizes(fft_size: Any, hop: Any) -> tuple[int, int]:
    """``fft_size`` (2 or more) and ``hop`` (1 or more) as ints; floats and text are refused, never rounded."""
    return _whole("fft_size", fft_size, 2, _LARGEST_COUNT), _whole("hop", hop, 1, _LARGEST_COUNT)


def frame_boxes(boxes: dict[str, np.ndarray]) -> dict[str, np.ndarray]:
    """The boxes a packet detector learns: a standard's emitter (its ``frame_starts`` and
    ``frame_ends`` given) one box per frame, from the frame's first instant to its last, in its
    emitter's band; every other emitter its own box. Columns ``sample_start``, ``sample_count``
    (float64 samples), ``freq_lower_edge``, ``freq_upper_edge`` and ``modulation``."""
    keys = ("sample_start", "sample_count", "freq_lower_edge", "freq_upper_edge", "modulation")
    rows: dict[str, list[Any]] = {key: [] for key in keys}
    count = len(boxes.get("modulation", ()))  # a capture of the floor alone has no column
    starts = boxes.get("frame_starts", [None] * count)
    ends = boxes.get("frame_ends", [None] * count)
    for i in range(count):
        spans = _frame_spans(starts[i], ends[i])
        if spans is None:
            start = float(boxes["sample_start"][i])
            spans = [(start, start + float(boxes["sample_count"][i]))]
        for start, end in spans:
            rows["sample_start"].append(start)
            rows["sample_count"].append(end - start)
            for key in keys[2:]:
                rows[key].append(boxes[key][i])
    return {key: np.array(rows[key], dtype=None if key == "modulation" else np.float64) for key in keys}


def _frame_spans(starts: Any, ends: Any) -> Optional[list[tuple[float, float]]]:
    """A standard's frames from its labels' lists, as a reader gives them (text "a;b;.." or
    "[a, b, ..]", a list, or a number for a single frame); nothing for an emitter without them."""
    def values(x: Any) -> list[float]:
        if x is None or isinstance(x, float) and np.isnan(x):
            return []
        if isinstance(x, str):  # the manifest's "a;b;..", a container's JSON list
            return [float(v) for v in (json.loads(x) if x.startswith("[") else x.split(";")) if v != ""]
        return [float(v) for v in np.atleast_1d(np.asarray(x, dtype=np.float64))]

    first, last = values(starts), values(ends)
    return list(zip(first, last)) if first else None


def pixel_boxes(boxes: dict[str, np.ndarray], sample_rate: float, fft_size: int, hop: int,
                frames: int) -> np.ndarray:
    """Each box as (x0, y0, x1, y1) pixels of the spectrogram, clipped to its (frames, fft_size) image."""
    x0 = boxes["sample_start"] / hop
    x1 = (boxes["sample_start"] + boxes["sample_count"]) / hop
    y0 = (sample_rate / 2 - boxes["freq_upper_edge"]) / sample_rate * fft_size
    y1 = (sample_rate / 2 - boxes["freq_lower_edge"]) / sample_rate * fft_size
    out = np.stack([x0, y0, x1, y1], axis=1).astype(np.float64)
    out[:, [0, 2]] = np.clip(out[:, [0, 2]], 0, frames)
    out[:, [1, 3]] = np.clip(out[:, [1, 3]], 0, fft_size)
    return out


def widen_boxes(pixels: np.ndarray, min_box: float, width: int, height: int) -> tuple[np.ndarray, np.ndarray]:
    """Boxes (x0, y0, x1, y1) at least ``min_box`` pixels wide and tall (never more than the
    image), each side widened about its centre and shifted back inside the image; and which rows
    were widened."""
    out = np.array(pixels, dtype=np.float64).reshape(-1, 4)
    widened = np.zeros(len(out), dtype=bool)
    for low, high, size in ((0, 2, width), (1, 3, height)):
        want = min(min_box, size)
        thin = out[:, high] - out[:, low] < want
        centre = (out[thin, low] + out[thin, high]) / 2
        start = np.clip(centre - want / 2, 0, size - want)
        out[thin, low], out[thin, high] = start, start + want
        widened |= thin
    return out, widened


def yolo_rows(pixels: np.ndarray, class_index: Iterable[int], width: int, height: int) -> str:
    """YOLO's text: one "class x_centre y_centre width height" row per box, fractions of the image."""
    rows = []
    for (x0, y0, x1, y1), c in zip(pixels, class_index):
        rows.append(f"{int(c)} {(x0 + x1) / 2 / width:.6f} {(y0 + y1) / 2 / height:.6f} "
                    f"{(x1 - x0) / width:.6f} {(y1 - y0) / height:.6f}")
    return "".join(row + "\n" for row in rows)


def _save_image(path: str, image: np.ndarray) -> str:
    """The spectrogram as a greyscale PNG (matplotlib) or, without matplotlib, a .npy of the dB values."""
    try:
        import matplotlib.image
    except ImportError:
        np.save(path + ".npy", image)
        return path + ".npy"
    matplotlib.image.imsave(path + ".png", image, cmap="gray", origin="upper")
    return path + ".png"


def _yaml_text(text: str) -> str:
    return json.dumps(text)  # a JSON string is a YAML string


def export_detection(dataset: Any, folder: str | os.PathLike, fft_size: int = 256, hop: int = 256,
                     positions: Iterable[int] | None = None, format: str = "both",
                     min_box: float = MIN_BOX_PIXELS) -> dict[str, Any]:
    """Writes each scene's spectrogram image (images/scene_<k>.png) and, by ``format`` ("yolo",
    "coco" or "both"), its YOLO rows (labels/scene_<k>.txt, with ``classes.txt`` and ``data.yaml``)
    and one COCO file (annotations.json) to ``folder``, class ids counting ``dataset.names``.
    ``dataset`` is a scene Dataset or a written scene run (``quorvin.files.open_run``). Boxes
    thinner than ``min_box`` pixels are widened (see the module's notes). Returns the COCO record;
    its ``info`` holds ``min_box_pixels`` and ``enlarged_boxes``, the number widened."""
    from .files import WrittenRun  # noqa: PLC0415

    if not isinstance(dataset, (Dataset, WrittenRun)):
        raise TypeError(f"dataset takes a quorvin.Dataset or a written run, not {dataset!r}")
    fft_size, hop = _frame_sizes(fft_size, hop)  # before any folder is made
    if format not in ("yolo", "coco", "both"):
        raise ValueError(f"format takes 'yolo', 'coco' or 'both', not {format!r}")
    if isinstance(min_box, bool) or not isinstance(min_box, (int, float)) or not 0 <= min_box <= 2**20:
        raise ValueError(f"min_box takes a number of pixels from 0 to 1048576, not {min_box!r}")
    names = list(dataset.names)
    folder = os.fspath(folder)
    os.makedirs(os.path.join(folder, "images"), exist_ok=True)
    yolo = format in ("yolo", "both")
    if yolo:
        os.makedirs(os.path.join(folder, "labels"), exist_ok=True)
    coco: dict[str, Any] = {"images": [], "annotations": [],
                            "categories": [{"id": i, "name": name} for i, name in enumerate(names)]}
    enlarged = 0
    for position in range(len(dataset)) if positions is None else positions:
        capture, labels = dataset[position]
        if "boxes" not in labels:
            raise ValueError("export_detection: the dataset makes single signals; give Config(..., scene='wideband')")
        image = spectrogram(capture, fft_size, hop)
        height, width = image.shape
        boxes = frame_boxes(labels["boxes"])
        if len(boxes["modulation"]):
            true = pixel_boxes(boxes, labels["sample_rate"], fft_size, hop, width)
            ids = [names.index(name) for name in boxes["modulation"]]
        else:  # a capture of the floor alone
            true, ids = np.zeros((0, 4)), []
        pixels, widened = widen_boxes(true, min_box, width, height)
        enlarged += int(widened.sum())
        stem = f"scene_{labels['scene']}"
        file_name = os.path.basename(_save_image(os.path.join(folder, "images", stem), image))
        if yolo:
            with open(os.path.join(folder, "labels", stem + ".txt"), "w", encoding="utf-8") as f:
                f.write(yolo_rows(pixels, ids, width, height))
        image_id = len(coco["images"])
        coco["images"].append({"id": image_id, "file_name": file_name, "width": width, "height": height})
        for (x0, y0, x1, y1), c, wide, own in zip(pixels, ids, widened, true):
            note = {"enlarged": True, "true_bbox": [own[0], own[1], own[2] - own[0], own[3] - own[1]]} if wide else {}
            coco["annotations"].append({"id": len(coco["annotations"]), "image_id": image_id, "category_id": int(c),
                                        "bbox": [x0, y0, x1 - x0, y1 - y0], "area": (x1 - x0) * (y1 - y0),
                                        "iscrowd": 0, **note})
    coco["info"] = {"min_box_pixels": min_box, "enlarged_boxes": enlarged}
    if format in ("coco", "both"):
        with open(os.path.join(folder, "annotations.json"), "w", encoding="utf-8") as f:
            json.dump(coco, f)
    if yolo:
        with open(os.path.join(folder, "classes.txt"), "w", encoding="utf-8") as f:
            f.write("".join(name + "\n" for name in names))
        with open(os.path.join(folder, "data.yaml"), "w", encoding="utf-8") as f:
            f.write(f"# Every image serves both splits; split images/ and labels/ alike to hold some out.\n"
                    f"path: {_yaml_text(os.path.abspath(folder))}\ntrain: images\nval: images\nnc: {len(names)}\n"
                    f"names: [{', '.join(_yaml_text(name) for name in names)}]\n")
    return coco


def main(argv: Optional[list[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python3 -m quorvin.detection",
                                     description="Exports a written scene run's spectrograms and boxes for a detector.")
    parser.add_argument("source", help="a scene run's folder, manifest, .sigmf-collection or container")
    parser.add_argument("-o", "--output", required=True, help="the folder to write")
    parser.add_argument("--format", choices=["yolo", "coco"], required=True)
    parser.add_argument("--fft-size", type=int, default=256, help="frequency bins, the image's height (default 256)")
    parser.add_argument("--hop", type=int, default=256, help="samples between columns (default 256)")
    parser.add_argument("--min-box", type=float, default=MIN_BOX_PIXELS,
                        help=f"fewest pixels a box spans each way; thinner boxes are widened (default {MIN_BOX_PIXELS:g})")
    args = parser.parse_args(argv)
    from .files import open_run  # noqa: PLC0415

    try:
        run = open_run(args.source)
        if not run.scenes:
            raise ValueError(f"{args.source}: holds single signals, not scenes (--scene wideband)")
        done = export_detection(run, args.output, args.fft_size, args.hop, format=args.format, min_box=args.min_box)
    except (ValueError, OSError) as error:
        print(f"quorvin.detection: {error}", file=sys.stderr)
        return 2
    print(f"{len(done['images'])} images, {len(done['annotations'])} boxes ({done['info']['enlarged_boxes']} widened to "
          f"{args.min_box:g} px) written to {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
