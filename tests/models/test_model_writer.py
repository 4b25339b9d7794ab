"""The model writer: the committed stand-ins and the file format it writes."""

import json
import math
import os
import tempfile
import unittest

import model_writer as mw

RESOURCES = os.environ.get("KORVANE_RESOURCES", os.path.join(os.path.dirname(__file__), "..", "..",
                                                             "plugin", "resources"))

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


class StandIns(unittest.TestCase):
    def test_regenerate_byte_for_byte(self):
        # The generator is deterministic, and every committed file that is still a stand-in is
        # exactly what it writes; trained captures replace stand-ins one by one.
        with tempfile.TemporaryDirectory() as first, tempfile.TemporaryDirectory() as second:
            written = mw.write_standins(first)
            mw.write_standins(second)
            self.assertEqual([name for name, _ in written], [row[0] for row in mw.STANDINS])
            for name, size in written:
                with self.subTest(name), open(os.path.join(first, name), "rb") as a, \
                        open(os.path.join(second, name), "rb") as b, \
                        open(os.path.join(RESOURCES, name), "rb") as c:
                    generated = a.read()
                    self.assertEqual(generated, b.read(), name + " is not reproducible")
                    committed = c.read()
                    if json.loads(committed)["metadata"]["trainer"] == mw.STANDIN_TRAINER:
                        self.assertEqual(generated, committed, name + " differs from its generator")

    def test_shipped_shape(self):
        scales = []
        for name, *_ in mw.STANDINS:
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
