"""The model writer: the file format it writes, the shipped captures written with it, and the
network shape it shares with the model library."""

import json
import math
import os
import re
import tempfile
import unittest

import model_writer as mw

RESOURCES = os.environ.get("KORVANE_RESOURCES", os.path.join(os.path.dirname(__file__), "..", "..",
                                                             "plugin", "resources"))
SHAPE_HEADER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "nam", "src",
                            "wavenet_shape.h")
CAPTURES = ["dist-0.20.nam", "dist-0.35.nam", "dist-0.50.nam", "dist-0.70.nam", "dist-0.80.nam",
            "dist-1.00.nam"]

TOP_KEYS = ["version", "metadata", "architecture", "config", "weights", "sample_rate"]
META_KEYS = ["date", "loudness", "gain", "name", "modeled_by", "gear_type", "gear_make",
             "gear_model", "tone_type", "trainer"]
LAYER_KEYS = ["input_size", "condition_size", "head", "channels", "kernel_sizes", "dilations",
              "activation", "bottleneck", "head1x1", "layer1x1", "groups_input",
              "groups_input_mixin", "conv_pre_film", "conv_post_film", "input_mixin_pre_film",
              "input_mixin_post_film", "activation_pre_film", "activation_post_film",
              "layer1x1_post_film", "head1x1_post_film", "gating_mode", "secondary_activation",
              "slimmable"]


def ordered(text):
    """Parses keeping key order: every object becomes a list of (key, value) pairs."""
    return json.loads(text, object_pairs_hook=lambda pairs: pairs)


def keys(pairs):
    return [k for k, _ in pairs]


def get(pairs, key):
    return dict(pairs)[key]


def metadata():
    return mw.standin_metadata(0.5, -20.0)


def header_array(text, name):
    match = re.search(r"\b%s\[kLayerCount\]\s*=\s*\{([^}]*)\}" % name, text)
    return [int(v) for v in match.group(1).split(",")]


def header_constant(text, name):
    return re.search(r"\b%s\s*=\s*([-0-9.e]+)f?;" % name, text).group(1)


class NetworkShape(unittest.TestCase):
    def test_writer_shape_is_the_model_library_shape(self):
        # The trainer and the fuzz corpus take the shape from the writer; the library has its own.
        with open(SHAPE_HEADER) as f:
            text = f.read()
        self.assertEqual(int(header_constant(text, "kLayerCount")), mw.LAYER_COUNT)
        self.assertEqual(header_array(text, "kKernelSizes"), mw.KERNEL_SIZES)
        self.assertEqual(header_array(text, "kDilations"), mw.DILATIONS)
        self.assertEqual(int(header_constant(text, "kHeadKernel")), mw.HEAD_KERNEL)
        self.assertEqual(float(header_constant(text, "kLeakySlope")), mw.NEGATIVE_SLOPE)
        self.assertEqual([mw.weight_count(3), mw.weight_count(8)], [1871, 12146])


class ShippedCaptures(unittest.TestCase):
    def test_writer_rewrites_each_capture_byte_for_byte(self):
        # The trainer exports through the writer: each file written again from its own numbers
        # and metadata is the committed file, so the writer still writes what ships.
        for name in CAPTURES:
            with self.subTest(name), open(os.path.join(RESOURCES, name), "rb") as f:
                committed = f.read()
                doc = json.loads(committed)
                lite, full = [s["model"] for s in doc["config"]["submodels"]]
                text = mw.model_text(lite["weights"][:-1], full["weights"][:-1], lite["weights"][-1],
                                     doc["metadata"], lite_metadata=lite["metadata"],
                                     full_metadata=full["metadata"])
                self.assertEqual(text.encode("ascii"), committed)

    def test_shipped_shape(self):
        scales = []
        for name in CAPTURES:
            with self.subTest(name):
                with open(os.path.join(RESOURCES, name), "rb") as f:
                    raw = f.read()
                compact = json.dumps(json.loads(raw), separators=(",", ":"), ensure_ascii=True)
                self.assertEqual(raw, compact.encode("ascii"), "compact ASCII JSON on one line")
                top = ordered(raw.decode("ascii"))
                self.assertEqual(keys(top), TOP_KEYS)
                self.assertEqual(get(top, "version"), "0.7.0")
                self.assertEqual(get(top, "architecture"), "SlimmableContainer")
                self.assertEqual(keys(get(top, "metadata")), META_KEYS)
                self.assertEqual(get(top, "weights"), [])
                self.assertIs(type(get(top, "sample_rate")), int)
                self.assertEqual(get(top, "sample_rate"), 48000)
                config = get(top, "config")
                self.assertEqual(keys(config), ["submodels"])
                submodels = get(config, "submodels")
                self.assertEqual([keys(s) for s in submodels], [["max_value", "model"]] * 2)
                self.assertEqual([get(s, "max_value") for s in submodels], [0.5, 1])
                self.assertIs(type(get(submodels[1], "max_value")), int)
                file_scales = set()
                for sub, channels, count in zip(submodels, (3, 8), (1871, 12146)):
                    model = get(sub, "model")
                    self.assertEqual(keys(model), TOP_KEYS)
                    self.assertEqual(get(model, "architecture"), "WaveNet")
                    self.assertEqual(keys(get(model, "metadata")), ["date", "loudness", "gain"])
                    self.assertEqual(get(model, "sample_rate"), 48000)
                    cfg = get(model, "config")
                    self.assertEqual(keys(cfg), ["layers", "head", "head_scale"])
                    self.assertIsNone(get(cfg, "head"))
                    layers = get(cfg, "layers")
                    self.assertEqual(len(layers), 1)
                    self.assertEqual(keys(layers[0]), LAYER_KEYS)
                    self.assertEqual(get(layers[0], "channels"), channels)
                    self.assertEqual(get(layers[0], "bottleneck"), channels)
                    weights = get(model, "weights")
                    self.assertEqual(len(weights), count)
                    self.assertTrue(all(math.isfinite(w) and mw.to_float32(w) == w for w in weights))
                    self.assertEqual(weights[-1], get(cfg, "head_scale"), "head scale is the last weight")
                    file_scales.add(weights[-1])
                self.assertEqual(len(file_scales), 1, "one head scale per file")
                scales.append(file_scales.pop())
        self.assertEqual(len(set(scales)), len(scales), "each capture has its own head scale")


class Writer(unittest.TestCase):
    def test_standins_are_reproducible(self):
        # Untrained networks of the shipped shape, from a generator of their own, not Python's.
        with tempfile.TemporaryDirectory() as first, tempfile.TemporaryDirectory() as second:
            written = mw.write_standins(first)
            mw.write_standins(second)
            self.assertEqual([name for name, _ in written], CAPTURES)
            for name, size in written:
                with self.subTest(name), open(os.path.join(first, name), "rb") as a, \
                        open(os.path.join(second, name), "rb") as b:
                    self.assertEqual(a.read(), b.read(), name + " is not reproducible")

    def test_weights_round_trip_as_float32_with_the_head_scale_appended(self):
        lite = [0.1 * ((i % 7) - 3) for i in range(mw.weight_count(3) - 1)]
        full = [1e-7 * (i % 5) - 3.3 for i in range(mw.weight_count(8) - 1)]
        doc = json.loads(mw.model_text(lite, full, 0.01, metadata()))
        subs = doc["config"]["submodels"]
        self.assertEqual(subs[0]["model"]["weights"], [mw.to_float32(w) for w in lite] + [mw.to_float32(0.01)])
        self.assertEqual(subs[1]["model"]["weights"], [mw.to_float32(w) for w in full] + [mw.to_float32(0.01)])

    def test_submodel_metadata_override(self):
        lite = [0.0] * (mw.weight_count(3) - 1)
        full = [0.0] * (mw.weight_count(8) - 1)
        doc = json.loads(mw.model_text(lite, full, 0.5, metadata(), lite_metadata={"loudness": -30.0}))
        self.assertEqual(doc["config"]["submodels"][0]["model"]["metadata"]["loudness"], -30.0)
        self.assertEqual(doc["config"]["submodels"][1]["model"]["metadata"]["loudness"], -20.0)
        self.assertEqual(doc["metadata"]["loudness"], -20.0)

    def test_bad_input_is_refused(self):
        lite = [0.0] * (mw.weight_count(3) - 1)
        full = [0.0] * (mw.weight_count(8) - 1)
        no_date = dict(metadata(), date={"year": 2026})
        cases = [
            ("lite weights one short", (lite[:-1], full, 0.5, metadata())),
            ("full weights with the head scale", (lite, full + [0.5], 0.5, metadata())),
            ("NaN weight", (lite, full[:-1] + [float("nan")], 0.5, metadata())),
            ("weight beyond float32", (lite[:-1] + [1e39], full, 0.5, metadata())),
            ("infinite head scale", (lite, full, float("inf"), metadata())),
            ("date incomplete", (lite, full, 0.5, no_date)),
            ("no loudness", (lite, full, 0.5, {k: v for k, v in metadata().items() if k != "loudness"})),
            ("name not a string", (lite, full, 0.5, dict(metadata(), name=3))),
        ]
        for name, args in cases:
            with self.subTest(name), self.assertRaises(ValueError):
                mw.model_text(*args)

    def test_failed_write_leaves_the_old_file(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "m.nam")
            with open(path, "w") as f:
                f.write("old")
            with self.assertRaises(ValueError):
                mw.write_model(path, [], [], 0.5, metadata())
            with open(path) as f:
                self.assertEqual(f.read(), "old")


if __name__ == "__main__":
    unittest.main()
