"""The capture network in PyTorch, laid out exactly as the model files store it.

One layer array of 23 dilated causal convolutions (kernel 6 or 15), each with an input mixin,
LeakyReLU(0.01), a skip sum of the activations and a 1x1 residual mixer; a head convolution
of kernel 16 with bias over the skip sum; the output multiplied by the head scale, which is
stored as the last weight.
"""
import os
import sys

import torch
import torch.nn as nn
import torch.nn.functional as F

# The shape and the weight count come from the model writer, which writes the files.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "model-writer"))
from model_writer import DILATIONS, HEAD_KERNEL, KERNEL_SIZES, NEGATIVE_SLOPE, weight_count  # noqa: E402,F401

# Samples of history one output needs beyond the current one.
RECEPTIVE_FIELD = sum((k - 1) * d for k, d in zip(KERNEL_SIZES, DILATIONS)) + HEAD_KERNEL - 1


class WaveNet(nn.Module):
    def __init__(self, channels, head_scale):
        super().__init__()
        c = channels
        self.channels = c
        self.rechannel = nn.Parameter(torch.empty(c))
        self.convs = nn.ModuleList(nn.Conv1d(c, c, k, dilation=d)
                                   for k, d in zip(KERNEL_SIZES, DILATIONS))
        self.mixins = nn.ParameterList(nn.Parameter(torch.empty(c)) for _ in KERNEL_SIZES)
        self.mixers = nn.ModuleList(nn.Conv1d(c, c, 1) for _ in KERNEL_SIZES)
        self.head = nn.Conv1d(c, 1, HEAD_KERNEL)
        # Fixed per capture and shared by both submodels: it sets the output scale so that the
        # network itself works near unit level.
        self.register_buffer("head_scale", torch.tensor(float(head_scale), dtype=torch.float32))
        self._init()

    def _init(self):
        nn.init.uniform_(self.rechannel, -1.0, 1.0)
        for mixin in self.mixins:
            nn.init.uniform_(mixin, -1.0, 1.0)
        for mixer in self.mixers:
            # Small residual updates keep the 23-layer stream near unit size at the start.
            nn.init.uniform_(mixer.weight, -0.1 / self.channels, 0.1 / self.channels)
            nn.init.zeros_(mixer.bias)

    def forward(self, x):
        """x: (batch, samples) input. Returns (batch, samples - RECEPTIVE_FIELD): the outputs
        for which the whole history is inside x."""
        x = x.unsqueeze(1)
        h = x * self.rechannel.view(1, -1, 1)
        out_len = x.shape[-1] - RECEPTIVE_FIELD
        skip = None
        for conv, mixin, mixer in zip(self.convs, self.mixins, self.mixers):
            a = conv(h)
            n = a.shape[-1]
            z = F.leaky_relu(a + x[..., -n:] * mixin.view(1, -1, 1), NEGATIVE_SLOPE)
            # The head needs HEAD_KERNEL - 1 samples of skip history before the first output.
            tail = z[..., -(out_len + HEAD_KERNEL - 1):]
            skip = tail if skip is None else skip + tail
            h = h[..., -n:] + mixer(z)
        return self.head(skip).squeeze(1) * self.head_scale

    def flat_weights(self):
        """The weights in the model library's order, without the head scale."""
        c = self.channels
        parts = [self.rechannel.detach().reshape(-1)]
        for conv, mixin, mixer in zip(self.convs, self.mixins, self.mixers):
            parts += [conv.weight.detach().reshape(-1),  # (out, in, tap), tap innermost
                      conv.bias.detach().reshape(-1),
                      mixin.detach().reshape(-1),
                      mixer.weight.detach().reshape(c, c).reshape(-1),  # (out, in)
                      mixer.bias.detach().reshape(-1)]
        parts += [self.head.weight.detach().reshape(-1),  # (1, in, tap)
                  self.head.bias.detach().reshape(-1)]
        flat = torch.cat(parts).to(torch.float32)
        assert flat.numel() == weight_count(c) - 1
        return flat

    def load_flat_weights(self, flat):
        """The inverse of flat_weights (head scale excluded)."""
        flat = torch.as_tensor(flat, dtype=torch.float32)
        c = self.channels
        pos = 0

        def take(shape):
            nonlocal pos
            n = 1
            for s in shape:
                n *= s
            t = flat[pos:pos + n].reshape(shape)
            pos += n
            return t

        with torch.no_grad():
            self.rechannel.copy_(take((c,)))
            for conv, mixin, mixer, k in zip(self.convs, self.mixins, self.mixers, KERNEL_SIZES):
                conv.weight.copy_(take((c, c, k)))
                conv.bias.copy_(take((c,)))
                mixin.copy_(take((c,)))
                mixer.weight.copy_(take((c, c)).reshape(c, c, 1))
                mixer.bias.copy_(take((c,)))
            self.head.weight.copy_(take((1, c, HEAD_KERNEL)))
            self.head.bias.copy_(take((1,)))
        if pos != flat.numel():
            raise ValueError("expected %d weights, got %d" % (pos, flat.numel()))

    def render(self, x, chunk=1 << 18):
        """Runs a whole signal from the silence steady state, like the model library after its
        prewarm: the history before the first sample is silence. No gradients."""
        x = torch.as_tensor(x, dtype=torch.float32)
        padded = torch.cat([torch.zeros(RECEPTIVE_FIELD * 2), x])
        out = []
        with torch.no_grad():
            for start in range(0, x.numel(), chunk):
                end = min(start + chunk, x.numel())
                seg = padded[start + RECEPTIVE_FIELD: end + 2 * RECEPTIVE_FIELD]
                out.append(self.forward(seg.unsqueeze(0))[0])
        return torch.cat(out)
