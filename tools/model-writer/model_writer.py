#!/usr/bin/env python3
"""Writes Korvane's model files: a SlimmableContainer holding two WaveNets (3 and 8 channels).

Use as a library (the capture trainer writes the six shipped captures through `model_text` /
`write_model`) or as a command that writes six untrained stand-in networks of the same shape
into a folder:

    python3 tools/model-writer/model_writer.py standins FOLDER

The network's shape below is the one definition on the Python side: the trainer and the fuzz
corpus script import it, and tests/models/test_model_writer.py holds it against the model
library's nam/src/wavenet_shape.h.

Standard library only, so that any python3 runs it.
"""

import argparse
import json
import math
import os
import struct
import sys

FORMAT_VERSION = "0.7.0"
SAMPLE_RATE = 48000
LAYER_COUNT = 23
KERNEL_SIZES = [6] * 14 + [15, 15] + [6] * 7
DILATIONS = [1, 3, 7, 17, 41, 101, 239, 1, 3, 7, 17, 41, 101, 239, 1, 13,
             1, 3, 7, 17, 41, 101, 239]
HEAD_KERNEL = 16
NEGATIVE_SLOPE = 0.01  # of every layer's LeakyReLU
# (max_value, channels), in the order the container wants them: ascending max_value.
SUBMODELS = [(0.5, 3), (1, 8)]
FILM_KEYS = ["conv_pre_film", "conv_post_film", "input_mixin_pre_film", "input_mixin_post_film",
             "activation_pre_film", "activation_post_film", "layer1x1_post_film",
             "head1x1_post_film"]
DESCRIPTIVE_KEYS = ["name", "modeled_by", "gear_type", "gear_make", "gear_model", "tone_type",
                    "trainer"]
DATE_KEYS = ["year", "month", "day", "hour", "minute", "second"]


def weight_count(channels):
    """Numbers in one submodel's "weights", the head scale included."""
    c = channels
    per_layer = sum(c * c * k + c + c + c * c + c for k in KERNEL_SIZES)
    return c + per_layer + HEAD_KERNEL * c + 1 + 1


def to_float32(value):
    """The nearest float32, as a Python float (the model library keeps weights as float32)."""
    return struct.unpack("<f", struct.pack("<f", float(value)))[0]


def _number(value, what):
    value = float(value)
    if not math.isfinite(value):
        raise ValueError("%s is not a finite number: %r" % (what, value))
    try:
        return to_float32(value)
    except OverflowError:
        raise ValueError("%s does not fit in float32: %r" % (what, value)) from None


def _layer_array(channels):
    inactive_film = {"active": False, "shift": True, "groups": 1}
    layer = {
        "input_size": 1,
        "condition_size": 1,
        "head": {"out_channels": 1, "kernel_size": HEAD_KERNEL, "bias": True},
        "channels": channels,
        "kernel_sizes": list(KERNEL_SIZES),
        "dilations": list(DILATIONS),
        "activation": [{"type": "LeakyReLU", "negative_slope": NEGATIVE_SLOPE} for _ in range(LAYER_COUNT)],
        "bottleneck": channels,
        "head1x1": {"active": False, "out_channels": 1, "groups": 1},
        "layer1x1": {"active": True, "groups": 1},
        "groups_input": 1,
        "groups_input_mixin": 1,
    }
    for key in FILM_KEYS:
        layer[key] = dict(inactive_film)
    layer["gating_mode"] = ["none"] * LAYER_COUNT
    layer["secondary_activation"] = [None] * LAYER_COUNT
    layer["slimmable"] = None
    return layer


def _date(metadata):
    date = metadata.get("date", {})
    missing = [k for k in DATE_KEYS if k not in date]
    if missing:
        raise ValueError("metadata date lacks %s" % ", ".join(missing))
    return {k: int(date[k]) for k in DATE_KEYS}


def _submodel_metadata(metadata):
    missing = [k for k in ("loudness", "gain") if k not in metadata]
    if missing:
        raise ValueError("metadata lacks %s" % ", ".join(missing))
    return {"date": _date(metadata),
            "loudness": _number(metadata["loudness"], "loudness"),
            "gain": _number(metadata["gain"], "gain")}


def _submodel(channels, weights, head_scale, metadata):
    expected = weight_count(channels) - 1
    if len(weights) != expected:
        raise ValueError("the %d-channel submodel takes %d weights before the head scale, got %d"
                         % (channels, expected, len(weights)))
    numbers = [_number(w, "weight %d" % i) for i, w in enumerate(weights)]
    # The model library reads the head scale from the last weight, not from the config.
    numbers.append(head_scale)
    return {
        "version": FORMAT_VERSION,
        "metadata": _submodel_metadata(metadata),
        "architecture": "WaveNet",
        "config": {"layers": [_layer_array(channels)], "head": None,
                   "head_scale": head_scale},
        "weights": numbers,
        "sample_rate": SAMPLE_RATE,
    }


def model_document(lite_weights, full_weights, head_scale, metadata,
                   lite_metadata=None, full_metadata=None):
    """The model file as a dict in the file's key order.

    lite_weights / full_weights: the 3- and 8-channel weights in the library's layout, without
    the head scale (1870 and 12145 numbers); the writer appends `head_scale` to each.
    metadata: "date" ({year, month, day, hour, minute, second}), "loudness", "gain" and the
    descriptive strings. lite_metadata / full_metadata override "loudness" / "gain" (and
    "date") of a submodel; by default each submodel repeats the top level's.
    """
    scale = _number(head_scale, "head_scale")
    top = _submodel_metadata(metadata)
    for key in DESCRIPTIVE_KEYS:
        text = metadata.get(key, "")
        if not isinstance(text, str):
            raise ValueError("metadata %s must be a string" % key)
        top[key] = text
    submodels = []
    for (max_value, channels), weights, own in zip(SUBMODELS, (lite_weights, full_weights),
                                                   (lite_metadata, full_metadata)):
        merged = dict(metadata)
        merged.update(own or {})
        submodels.append({"max_value": max_value,
                          "model": _submodel(channels, weights, scale, merged)})
    return {
        "version": FORMAT_VERSION,
        "metadata": top,
        "architecture": "SlimmableContainer",
        "config": {"submodels": submodels},
        "weights": [],
        "sample_rate": SAMPLE_RATE,
    }


def model_text(*args, **kwargs):
    """The model file's text: compact ASCII JSON on one line, no trailing newline. Each
    float32 value is written as the shortest text that reads back as the same double."""
    return json.dumps(model_document(*args, **kwargs), separators=(",", ":"), ensure_ascii=True,
                      allow_nan=False)


def write_model(path, *args, **kwargs):
    """Writes `model_text(...)` to path (through a temporary file, so a failure leaves no
    half-written model). Returns the byte count."""
    text = model_text(*args, **kwargs).encode("ascii")
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(text)
    os.replace(tmp, path)
    return len(text)


# ---------------------------------------------------------------------------------------------
# Stand-ins: small fixed pseudo-random networks of the shipped shape, untrained. They shipped
# before the trained captures replaced them; they still make model files that need no training.

class SplitMix64:
    """A tiny portable generator, so that the stand-ins do not depend on Python's `random`."""

    def __init__(self, seed):
        self.state = seed & 0xFFFFFFFFFFFFFFFF

    def next(self):
        self.state = (self.state + 0x9E3779B97F4A7C15) & 0xFFFFFFFFFFFFFFFF
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & 0xFFFFFFFFFFFFFFFF
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & 0xFFFFFFFFFFFFFFFF
        return z ^ (z >> 31)

    def uniform(self):
        """Uniform in [-1, 1)."""
        return (self.next() >> 11) / float(1 << 52) - 1.0


def _mirror(i, channels):
    """Channels pair up (0, 1), (2, 3), ...; an odd last channel is its own mirror."""
    if i == channels - 1 and channels % 2:
        return i
    return i ^ 1


def standin_weights(channels, seed, drive):
    """Weights (without the head scale) for a stable stand-in network.

    Each channel pair mirrors the other for a negated input (odd vectors, even matrices and
    biases under the pair swap), and the head takes the difference of each pair, so the
    network is an odd function of its input: no DC offset, and silence in gives silence
    out. Positive biases let LeakyReLU halve the slope above a threshold, which compresses
    loud input like a fuzz; `drive` sets how hard the input mixin pushes every layer. The
    convolutions and 1x1 mixers are scaled by their fan-in so that the residual stream stays
    near unit size through all 23 layers; the output level is set by the head scale.
    """
    rng = SplitMix64(seed * 1000003 + channels)
    c = channels
    m = [_mirror(i, c) for i in range(c)]

    def odd(values):
        return [0.5 * (values[i] - values[m[i]]) for i in range(c)]

    def even(values):
        return [0.5 * (values[i] + values[m[i]]) for i in range(c)]

    def even_matrix(scale, taps):
        a = [[[scale * rng.uniform() for _ in range(taps)] for _ in range(c)] for _ in range(c)]
        return [0.5 * (a[i][j][k] + a[m[i]][m[j]][k])
                for i in range(c) for j in range(c) for k in range(taps)]

    out = odd([rng.uniform() for _ in range(c)])  # rechannel
    for k in KERNEL_SIZES:
        out += even_matrix(0.6 / math.sqrt(c * k), k)  # dilated convolution, (out, in, tap)
        out += even([0.05 + 0.2 * abs(rng.uniform()) for _ in range(c)])  # its bias
        # Input mixin: the first channel of each pair takes the input with a positive sign.
        out += odd([drive * (0.5 + 0.5 * abs(rng.uniform())) * (1 - 2 * (i % 2))
                    for i in range(c)])
        out += even_matrix(0.3 / math.sqrt(c), 1)  # layer1x1
        out += even([0.05 * rng.uniform() for _ in range(c)])  # its bias
    # Head: mostly the current tap, the difference of each pair averaged over the pairs.
    pairs = c // 2
    scale = 0.2 / (pairs * HEAD_KERNEL)
    head = [[scale * rng.uniform() for _ in range(HEAD_KERNEL)] for _ in range(c)]
    for j in range(2 * pairs):
        head[j][HEAD_KERNEL - 1] += (1 - 2 * (j % 2)) / pairs
    out += [0.5 * (head[j][k] - head[m[j]][k]) for j in range(c) for k in range(HEAD_KERNEL)]
    out.append(0.0)  # head bias
    assert len(out) == weight_count(c) - 1
    return out


# One row per capture, in capture order: file, Dist position, seed, input drive, head scale,
# nominal loudness written to the metadata.
STANDINS = [
    ("dist-0.20.nam", 0.20, 20, 0.45, 0.0300, -24.0),
    ("dist-0.35.nam", 0.35, 35, 0.60, 0.0270, -23.0),
    ("dist-0.50.nam", 0.50, 50, 0.80, 0.0240, -22.0),
    ("dist-0.70.nam", 0.70, 70, 1.10, 0.0210, -21.0),
    ("dist-0.80.nam", 0.80, 80, 1.30, 0.0190, -20.5),
    ("dist-1.00.nam", 1.00, 100, 1.70, 0.0170, -20.0),
]


STANDIN_TRAINER = "korvane model-writer (stand-in, untrained)"


def standin_metadata(position, loudness):
    return {
        "date": {"year": 2026, "month": 12, "day": 10, "hour": 12, "minute": 0, "second": 0},
        "loudness": loudness,
        "gain": position * 10.0,
        "name": "Korvane stand-in, Dist %.2f" % position,
        "modeled_by": "Drevanok Effects",
        "gear_type": "pedal",
        "gear_make": "Drevanok Effects",
        "gear_model": "Korvane stand-in",
        "tone_type": "fuzz",
        "trainer": STANDIN_TRAINER,
    }


def standin_text(row):
    name, position, seed, drive, head_scale, loudness = row
    return model_text(standin_weights(3, seed, drive), standin_weights(8, seed, drive),
                      head_scale, standin_metadata(position, loudness))


def write_standins(folder):
    sizes = []
    for row in STANDINS:
        path = os.path.join(folder, row[0])
        text = standin_text(row).encode("ascii")
        tmp = path + ".tmp"
        with open(tmp, "wb") as f:
            f.write(text)
        os.replace(tmp, path)
        sizes.append((row[0], len(text)))
    return sizes


def main(argv=None):
    parser = argparse.ArgumentParser(description="Writes Korvane's model files.")
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("standins", help="write six untrained stand-in model files into FOLDER")
    p.add_argument("folder")
    args = parser.parse_args(argv)
    if not os.path.isdir(args.folder):
        parser.error("no such folder: %s" % args.folder)
    for name, size in write_standins(args.folder):
        print("%s %d bytes" % (name, size))
    return 0


if __name__ == "__main__":
    sys.exit(main())
