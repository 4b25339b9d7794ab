#!/usr/bin/env python3
"""Writes the fuzzer's seed documents into corpus/: small models of the supported shape
(one and two channels), a container of them, and a few near misses.
Run it again after changing the seeds; the output is committed."""
import json
import os
import random
import sys

# The supported shape comes from the model writer, which writes the shipped files.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                                "model-writer"))
from model_writer import (DILATIONS, HEAD_KERNEL, KERNEL_SIZES, LAYER_COUNT,  # noqa: E402
                          NEGATIVE_SLOPE, weight_count)


def wavenet(c, seed):
    rng = random.Random(seed)
    layer = {
        "input_size": 1, "condition_size": 1,
        "head": {"out_channels": 1, "kernel_size": HEAD_KERNEL, "bias": True},
        "channels": c, "kernel_sizes": KERNEL_SIZES, "dilations": DILATIONS,
        "activation": [{"type": "LeakyReLU", "negative_slope": NEGATIVE_SLOPE}] * LAYER_COUNT,
        "bottleneck": c, "head1x1": {"active": False, "out_channels": 1, "groups": 1},
        "layer1x1": {"active": True, "groups": 1}, "groups_input": 1, "groups_input_mixin": 1,
        "conv_pre_film": {"active": False, "shift": True, "groups": 1},
        "gating_mode": ["none"] * LAYER_COUNT, "secondary_activation": [None] * LAYER_COUNT,
        "slimmable": None,
    }
    return {
        "version": "0.7.0", "metadata": {"loudness": -20.5},
        "architecture": "WaveNet",
        "config": {"layers": [layer], "head": None, "head_scale": 0.02},
        "weights": [round(rng.uniform(-0.3, 0.3), 3) for _ in range(weight_count(c))],
        "sample_rate": 48000,
    }


def container(*subs):
    return {
        "version": "0.7.0", "metadata": {"loudness": -19.0, "input_level_dbu": 12.5},
        "architecture": "SlimmableContainer",
        "config": {"submodels": [{"max_value": v, "model": m} for v, m in subs]},
        "weights": [], "sample_rate": 48000,
    }


def main():
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    os.makedirs(out, exist_ok=True)
    one, two = wavenet(1, 1), wavenet(2, 2)
    seeds = {
        "wavenet-1ch.json": one,
        "wavenet-2ch.json": two,
        "container.json": container((0.5, one), (1, two)),
        "container-unsorted.json": container((1, one), (0.5, two)),
        "container-empty.json": container(),
        "version-rejected.json": dict(one, version="0.8.0"),
        "architecture-unknown.json": dict(one, architecture="LSTM"),
        "weights-short.json": dict(one, weights=one["weights"][:-1]),
    }
    for name, doc in seeds.items():
        with open(os.path.join(out, name), "w") as f:
            json.dump(doc, f, separators=(",", ":"))
    with open(os.path.join(out, "deep-nesting.json"), "w") as f:
        f.write('{"version":"0.7.0","weights":[],"architecture":"WaveNet","config":{"layers":'
                + "[" * 4000 + "]" * 4000 + "}}")
    with open(os.path.join(out, "truncated.json"), "w") as f:
        f.write(json.dumps(one, separators=(",", ":"))[:1500])


if __name__ == "__main__":
    main()
