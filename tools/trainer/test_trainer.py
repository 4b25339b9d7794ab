"""Tests of the capture network, its weight layout and the export (python3 -m unittest)."""
import json
import os
import sys
import tempfile
import unittest

import numpy as np
import torch

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import train  # noqa: E402
from wavenet import DILATIONS, HEAD_KERNEL, KERNEL_SIZES, RECEPTIVE_FIELD, WaveNet, weight_count  # noqa: E402


def reference_forward(flat, head_scale, channels, x):
    """The network computed sample by sample straight from the weight layout of the files:
    tap K-1 multiplies the current sample, tap 0 the oldest; history before the start is 0."""
    c = channels
    w = np.asarray(flat, dtype=np.float64)
    pos = 0

    def take(n):
        nonlocal pos
        part = w[pos:pos + n]
        pos += n
        return part

    rechannel = take(c)
    layers = []
    for k in KERNEL_SIZES:
        conv = take(c * c * k).reshape(c, c, k)
        layers.append((conv, take(c), take(c), take(c * c).reshape(c, c), take(c)))
    head = take(c * HEAD_KERNEL).reshape(c, HEAD_KERNEL)
    head_bias = take(1)[0]
    assert pos == len(w)
    n = len(x)
    h = np.outer(rechannel, x)  # (c, n)
    skip = np.zeros((c, n))
    for (conv, bias, mixin, mixer, mixer_bias), k, d in zip(layers, KERNEL_SIZES, DILATIONS):
        a = np.zeros((c, n)) + bias[:, None]
        for tap in range(k):
            back = (k - 1 - tap) * d
            shifted = np.zeros((c, n))
            shifted[:, back:] = h[:, :n - back] if back else h
            a += conv[:, :, tap] @ shifted
        z = a + np.outer(mixin, x)
        z = np.where(z > 0, z, 0.01 * z)
        skip += z
        h = h + mixer @ z + mixer_bias[:, None]
    y = np.full(n, head_bias)
    for tap in range(HEAD_KERNEL):
        back = HEAD_KERNEL - 1 - tap
        shifted = np.zeros((c, n))
        shifted[:, back:] = skip[:, :n - back] if back else skip
        y += head[:, tap] @ shifted
    return y * head_scale


class WaveNetTest(unittest.TestCase):
    def setUp(self):
        torch.manual_seed(3)

    def test_weight_counts_and_layout_round_trip(self):
        for channels, count in ((3, 1871), (8, 12146)):
            model = WaveNet(channels, 0.5)
            flat = model.flat_weights()
            self.assertEqual(flat.numel() + 1, count)
            self.assertEqual(weight_count(channels), count)
            other = WaveNet(channels, 0.5)
            other.load_flat_weights(flat)
            self.assertTrue(torch.equal(other.flat_weights(), flat))
            with self.assertRaises(ValueError):
                other.load_flat_weights(torch.cat([flat, torch.zeros(1)]))

    def test_forward_matches_the_file_layout_computed_sample_by_sample(self):
        # Random weights with every bias non-zero, on a short input long enough to reach back
        # through the whole receptive field.
        model = WaveNet(3, 0.7)
        flat = model.flat_weights().numpy()
        flat = flat + np.random.default_rng(5).uniform(-0.05, 0.05, flat.shape).astype(np.float32)
        model.load_flat_weights(flat)
        n = RECEPTIVE_FIELD + 400
        x = np.random.default_rng(6).uniform(-0.5, 0.5, n).astype(np.float32)
        # Silence first, as the model library's prewarm does, so that the histories hold the
        # silence steady state (not zeros) when the signal starts.
        warm = np.concatenate([np.zeros(RECEPTIVE_FIELD + 1), x.astype(np.float64)])
        expected = reference_forward(flat, 0.7, 3, warm)[RECEPTIVE_FIELD + 1:]
        got = model.render(x).numpy()
        self.assertEqual(got.shape, (n,))
        np.testing.assert_allclose(got, expected, atol=2e-5 * max(1.0, np.abs(expected).max()))

    def test_render_starts_from_the_silence_steady_state(self):
        # A window cut from a long render equals the forward pass over its own history.
        model = WaveNet(3, 1.0)
        x = torch.randn(RECEPTIVE_FIELD + 3000) * 0.3
        whole = model.render(x, chunk=1000)
        with torch.no_grad():
            window = model(x.unsqueeze(0))[0]
        torch.testing.assert_close(whole[RECEPTIVE_FIELD:], window, atol=1e-5, rtol=1e-5)


class ExportTest(unittest.TestCase):
    def test_exported_file_holds_both_networks_and_the_head_scale(self):
        torch.manual_seed(4)
        lite, full = WaveNet(3, 0.25), WaveNet(8, 0.25)
        with torch.no_grad():
            for net in (lite, full):
                net.head.bias += 0.3  # an offset that the export must cancel
        info = {"dist": 0.8, "measuredLevelDb": -20.5}
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "m.nam")
            size = train.export(path, lite, full, 0.25, info)
            self.assertEqual(size, os.path.getsize(path))
            with open(path) as f:
                doc = json.load(f)
            subs = doc["config"]["submodels"]
            self.assertEqual([s["max_value"] for s in subs], [0.5, 1])
            self.assertEqual(doc["metadata"]["loudness"], -20.5)
            for sub, channels in zip(subs, (3, 8)):
                model = sub["model"]
                self.assertEqual(len(model["weights"]), weight_count(channels))
                self.assertEqual(model["weights"][-1], 0.25)
                self.assertEqual(model["config"]["head_scale"], 0.25)
                self.assertEqual(model["metadata"]["loudness"], -20.5)
            x = torch.randn(RECEPTIVE_FIELD + 500) * 0.2
            for submodel, net in ((0, lite), (1, full)):
                back = train.model_from_file(path, submodel)
                torch.testing.assert_close(back.render(x), net.render(x))
                # Silence in, silence out: the network's settled offset is taken out.
                self.assertLess(float(back.render(torch.zeros(100)).abs().max()), 1e-6)


class LossTest(unittest.TestCase):
    def test_esr_and_loss_scale(self):
        y = np.sin(np.arange(1000) * 0.1)
        self.assertEqual(train.esr(y, y), 0.0)
        self.assertAlmostEqual(train.esr(y, np.zeros_like(y)), 1.0)
        self.assertAlmostEqual(train.esr(y, 2 * y), 1.0)
        t = torch.tensor(y, dtype=torch.float32).unsqueeze(0)
        # Silence on both sides is no error, and a silent output costs 1 + the pre-emphasis weight.
        self.assertEqual(float(train.loss_fn(torch.zeros(1, 10), torch.zeros(1, 10))), 0.0)
        self.assertAlmostEqual(float(train.loss_fn(t, torch.zeros_like(t))), 1.0 + train.PRE_EMPHASIS_WEIGHT, places=5)


if __name__ == "__main__":
    unittest.main()
