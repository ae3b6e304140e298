"""Scenes for detection tools: a capture's spectrogram and its emitters' boxes on it, as YOLO text
rows and COCO JSON, with the spectrogram images.

A spectrogram of ``fft_size`` and ``hop`` has one column per frame (frame t holds samples
t hop .. t hop + fft_size - 1) and one row per frequency bin, the highest frequency at the top
(row 0 is +fs/2, the last row -fs/2). A box of samples s0 .. s1 and frequencies f0 .. f1 covers
columns s0 / hop .. s1 / hop and rows (fs/2 - f1) / fs fft_size .. (fs/2 - f0) / fs fft_size,
clipped to the image: the labels' own box, in the image's pixels.
"""

from __future__ import annotations

import json
import os
from typing import Any, Iterable

import numpy as np

from . import _LARGEST_COUNT, Dataset, _whole, classes

__all__ = ["spectrogram", "pixel_boxes", "yolo_rows", "export_detection"]


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


def export_detection(dataset: Dataset, folder: str | os.PathLike, fft_size: int = 256, hop: int = 256,
                     positions: Iterable[int] | None = None) -> dict[str, Any]:
    """Writes each scene's spectrogram image (images/scene_<k>.png), its YOLO rows
    (labels/scene_<k>.txt, classes by class index) and one COCO file (annotations.json, categories
    by class index) to ``folder``. Returns the COCO record."""
    if not isinstance(dataset, Dataset):
        raise TypeError(f"dataset takes a quorvin.Dataset, not {dataset!r}")
    fft_size, hop = _frame_sizes(fft_size, hop)  # before any folder is made
    folder = os.fspath(folder)
    os.makedirs(os.path.join(folder, "images"), exist_ok=True)
    os.makedirs(os.path.join(folder, "labels"), exist_ok=True)
    coco: dict[str, Any] = {"images": [], "annotations": [],
                            "categories": [{"id": i, "name": name} for i, name in enumerate(classes)]}
    for position in range(len(dataset)) if positions is None else positions:
        capture, labels = dataset[position]
        if "boxes" not in labels:
            raise ValueError("export_detection: the dataset makes single signals; give Config(..., scene='wideband')")
        image = spectrogram(capture, fft_size, hop)
        height, width = image.shape
        pixels = pixel_boxes(labels["boxes"], labels["sample_rate"], fft_size, hop, width)
        stem = f"scene_{labels['scene']}"
        file_name = os.path.basename(_save_image(os.path.join(folder, "images", stem), image))
        with open(os.path.join(folder, "labels", stem + ".txt"), "w", encoding="utf-8") as f:
            f.write(yolo_rows(pixels, labels["boxes"]["class_index"], width, height))
        image_id = len(coco["images"])
        coco["images"].append({"id": image_id, "file_name": file_name, "width": width, "height": height})
        for (x0, y0, x1, y1), c in zip(pixels, labels["boxes"]["class_index"]):
            coco["annotations"].append({"id": len(coco["annotations"]), "image_id": image_id, "category_id": int(c),
                                        "bbox": [x0, y0, x1 - x0, y1 - y0], "area": (x1 - x0) * (y1 - y0),
                                        "iscrowd": 0})
    with open(os.path.join(folder, "annotations.json"), "w", encoding="utf-8") as f:
        json.dump(coco, f)
    return coco
