#!/usr/bin/python3
"""Trains one capture of the pedal into a model file, and checks model files.

  train.py train  --data DIR --capture I --out FILE.nam [--steps N] [--lite-steps N] ...
  train.py check  --model FILE.nam --input IN.f64 [--nam-render PATH]
  train.py esr    --model FILE.nam --input IN.f64 --target OUT.f64 [--nam-render PATH]
  train.py reexport --model FILE.nam --out NEW.nam

DIR is what `capture-rig signals DIR` and `capture-rig record DIR` made: train-in.f64,
heldout-in.f64, reference-in.f64 and capture-I-{train,heldout,reference}.f64 with capture-I.json.
"""
import argparse
import datetime
import json
import math
import os
import subprocess
import sys
import tempfile
import time

import numpy as np
import torch

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "model-writer"))

import model_writer  # noqa: E402
from wavenet import RECEPTIVE_FIELD, WaveNet  # noqa: E402

PRE_EMPHASIS = 0.95
PRE_EMPHASIS_WEIGHT = 0.5
SILENCE_FLOOR = 1e-10
# Share of a time budget that goes to the 3-channel network.
LITE_SHARE = 0.2


def read_raw(path):
    return np.fromfile(path, dtype="<f8")


def write_raw(path, x):
    np.asarray(x, dtype="<f8").tofile(path)


def esr(target, output):
    """Error-to-signal ratio: energy of the error over energy of the target."""
    target = np.asarray(target, dtype=np.float64)
    output = np.asarray(output, dtype=np.float64)
    return float(np.sum((target - output) ** 2) / max(np.sum(target ** 2), SILENCE_FLOOR))


def loss_fn(target, output):
    def ratio(t, o):
        return ((t - o) ** 2).sum() / (t ** 2).sum().clamp_min(SILENCE_FLOOR)

    def emphasise(v):
        return v[:, 1:] - PRE_EMPHASIS * v[:, :-1]

    return ratio(target, output) + PRE_EMPHASIS_WEIGHT * ratio(emphasise(target), emphasise(output))


class Segments:
    """Random training windows: `length` outputs with their full input history."""

    def __init__(self, x, y, length, batch, generator):
        self.x = torch.cat([torch.zeros(RECEPTIVE_FIELD), torch.as_tensor(x, dtype=torch.float32)])
        self.y = torch.as_tensor(y, dtype=torch.float32)
        self.length = length
        self.batch = batch
        self.generator = generator

    def next(self):
        starts = torch.randint(0, self.y.numel() - self.length, (self.batch,), generator=self.generator)
        xs = torch.stack([self.x[s:s + self.length + RECEPTIVE_FIELD] for s in starts.tolist()])
        ys = torch.stack([self.y[s:s + self.length] for s in starts.tolist()])
        return xs, ys


def train_network(channels, head_scale, x, y, steps, args, log, checkpoint, seconds=None):
    """Adam on random windows with an exponentially decaying rate. With `seconds` the run
    ends when that time is spent (or after `steps`) and the decay follows the time spent,
    so that a shared machine still gets a complete schedule."""
    torch.manual_seed(args.seed * 100 + channels)
    generator = torch.Generator().manual_seed(args.seed * 100 + channels + 1)
    model = WaveNet(channels, head_scale)
    optimiser = torch.optim.Adam(model.parameters(), lr=args.lr)
    # Exponential decay from lr to lr * final_lr_ratio over the run.
    data = Segments(x, y, args.segment, args.batch, generator)
    good = {k: v.clone() for k, v in model.state_dict().items()}
    average = None
    rate_scale = 1.0
    started = time.time()
    lr = args.lr
    for step in range(1, steps + 1):
        progress = (time.time() - started) / seconds if seconds else (step - 1) / max(steps, 1)
        if progress >= 1.0:
            log("%d ch: time budget spent after %d steps" % (channels, step - 1))
            break
        lr = args.lr * args.final_lr_ratio ** progress
        for group in optimiser.param_groups:
            group["lr"] = lr * rate_scale
        xs, ys = data.next()
        loss = loss_fn(ys, model(xs))
        if not torch.isfinite(loss):
            # A diverging step: go back to the last good weights and slow down.
            model.load_state_dict(good)
            rate_scale *= 0.5
            log("step %d: non-finite loss, restored, rate scale %.3g" % (step, rate_scale))
            continue
        optimiser.zero_grad()
        loss.backward()
        torch.nn.utils.clip_grad_norm_(model.parameters(), 1.0)
        optimiser.step()
        value = loss.item()
        average = value if average is None else 0.98 * average + 0.02 * value
        if step % 50 == 0 or step == steps:
            good = {k: v.clone() for k, v in model.state_dict().items()}
            log("%d ch step %d/%d loss %.5f avg %.5f lr %.2e %.0f s" % (
                channels, step, steps, value, average, optimiser.param_groups[0]["lr"],
                time.time() - started))
        if checkpoint and step % 500 == 0:
            torch.save(model.state_dict(), checkpoint)
    return model


def model_from_file(path, submodel=1):
    """The network of one submodel of a model file (1: 8 channels, 0: 3 channels)."""
    with open(path) as f:
        doc = json.load(f)
    inner = doc["config"]["submodels"][submodel]["model"]
    channels = inner["config"]["layers"][0]["channels"]
    weights = inner["weights"]
    model = WaveNet(channels, weights[-1])
    model.load_flat_weights(weights[:-1])
    return model


def nam_render(tool, model, x):
    with tempfile.TemporaryDirectory() as tmp:
        src = os.path.join(tmp, "in.f64")
        dst = os.path.join(tmp, "out.f64")
        write_raw(src, x)
        subprocess.run([tool, model, src, dst], check=True)
        return read_raw(dst)


def level_db(x):
    return 10.0 * math.log10(max(float(np.mean(np.asarray(x, dtype=np.float64) ** 2)), 1e-30))


def export_date():
    # A fixed date makes an export reproducible when the build asks for it.
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    when = (datetime.datetime.fromtimestamp(int(epoch), datetime.timezone.utc) if epoch
            else datetime.datetime.now(datetime.timezone.utc))
    return {"year": when.year, "month": when.month, "day": when.day,
            "hour": when.hour, "minute": when.minute, "second": when.second}


def cancel_silence_offset(model):
    """Moves the head bias so that silence in gives silence out. The pedal's output is AC
    coupled, but a trained network settles to a small constant on silence; left in, it would
    step whenever the plug-in's crossfade weights move. Returns the offset removed."""
    with torch.no_grad():
        offset = float(model.render(torch.zeros(256))[-1])
        model.head.bias -= offset / float(model.head_scale)
        return offset


def export(path, lite, full, head_scale, info, date=None):
    for net in (lite, full):
        cancel_silence_offset(net)
    metadata = {
        "date": date or export_date(),
        "loudness": info["measuredLevelDb"],
        "gain": info["dist"] * 10.0,
        "name": "Korvane capture, Dist %.2f" % info["dist"],
        "modeled_by": "Drevanok Effects",
        "gear_type": "pedal",
        "gear_make": "Drevanok Effects",
        "gear_model": "Korvane capture rig",
        "tone_type": "fuzz",
        "trainer": "korvane trainer",
    }
    return model_writer.write_model(path, lite.flat_weights().tolist(), full.flat_weights().tolist(),
                                    float(np.float32(head_scale)), metadata)


def command_train(args):
    torch.set_num_threads(args.threads)
    d = args.data
    i = args.capture
    with open(os.path.join(d, "capture-%d.json" % i)) as f:
        info = json.load(f)
    x = read_raw(os.path.join(d, args.input_set + "-in.f64"))
    y = read_raw(os.path.join(d, "capture-%d-%s.f64" % (i, args.input_set)))
    if len(x) != len(y):
        raise SystemExit("input and capture differ in length")
    # The network works near unit level; the head scale brings it to the capture's level.
    head_scale = float(np.float32(np.max(np.abs(y)) or 1.0))
    work = args.workdir or os.path.dirname(os.path.abspath(args.out))
    os.makedirs(work, exist_ok=True)
    log_path = os.path.join(work, "capture-%d.log" % i)

    def log(text):
        line = "[capture %d] %s" % (i, text)
        print(line, flush=True)
        with open(log_path, "a") as f:
            f.write(line + "\n")

    log("head scale %.6g, %d training samples, %d + %d steps" % (head_scale, len(x), args.steps, args.lite_steps))
    budget = args.minutes * 60.0 if args.minutes else None
    full = train_network(8, head_scale, x, y, args.steps, args, log,
                         os.path.join(work, "capture-%d-full.pt" % i),
                         budget * (1.0 - LITE_SHARE) if budget else None)
    lite = train_network(3, head_scale, x, y, args.lite_steps, args, log,
                         os.path.join(work, "capture-%d-lite.pt" % i),
                         budget * LITE_SHARE if budget else None)
    size = export(args.out, lite, full, head_scale, info)
    log("wrote %s (%d bytes)" % (args.out, size))
    heldout_in = os.path.join(d, "heldout-in.f64")
    heldout_out = os.path.join(d, "capture-%d-heldout.f64" % i)
    if os.path.exists(heldout_in) and os.path.exists(heldout_out) and not args.no_eval:
        report(args.out, read_raw(heldout_in), read_raw(heldout_out), args.nam_render, log, "held-out")


def report(model_path, x, target, tool, log, label):
    for submodel, name in ((1, "8 ch"), (0, "3 ch")):
        output = model_from_file(model_path, submodel).render(x).numpy()
        log("%s %s ESR %.5f (PyTorch forward of the exported weights)" % (name, label, esr(target, output)))
    if tool and os.path.exists(tool):
        output = nam_render(tool, model_path, x)
        log("8 ch %s ESR %.5f (nam-render)" % (label, esr(target, output)))


def command_check(args):
    """Compares the PyTorch forward pass of a file's 8-channel network with nam-render."""
    x = read_raw(args.input)
    ours = model_from_file(args.model).render(x).numpy().astype(np.float64)
    theirs = nam_render(args.nam_render, args.model, x)
    if len(theirs) != len(ours):
        raise SystemExit("nam-render gave %d samples for %d" % (len(theirs), len(ours)))
    diff = float(np.max(np.abs(ours - theirs)))
    peak = float(np.max(np.abs(theirs)))
    print("max |torch - nam-render| = %.3g (output peak %.3g, %d samples)" % (diff, peak, len(x)))
    tolerance = 1e-5 * max(1.0, peak)
    if not diff <= tolerance:
        raise SystemExit("forward passes differ by more than %.3g" % tolerance)


def command_reexport(args):
    """Writes a model file again through the current export (same weights, metadata and date),
    for files made before the export changed."""
    with open(args.model) as f:
        meta = json.load(f)["metadata"]
    lite, full = model_from_file(args.model, 0), model_from_file(args.model, 1)
    info = {"dist": meta["gain"] / 10.0, "measuredLevelDb": meta["loudness"]}
    size = export(args.out, lite, full, float(full.head_scale), info, meta["date"])
    print("wrote %s (%d bytes)" % (args.out, size))


def command_esr(args):
    x = read_raw(args.input)
    target = read_raw(args.target)
    report(args.model, x, target, args.nam_render, print, os.path.basename(args.input))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    t = sub.add_parser("train")
    t.add_argument("--data", required=True)
    t.add_argument("--capture", type=int, required=True)
    t.add_argument("--out", required=True)
    t.add_argument("--input-set", default="train")
    t.add_argument("--workdir")
    t.add_argument("--steps", type=int, default=4000, help="steps of the 8-channel network")
    t.add_argument("--lite-steps", type=int, default=1500, help="steps of the 3-channel network")
    t.add_argument("--minutes", type=float, help="time budget of the capture (both networks)")
    t.add_argument("--segment", type=int, default=8192)
    t.add_argument("--batch", type=int, default=8)
    t.add_argument("--lr", type=float, default=3e-3)
    t.add_argument("--final-lr-ratio", type=float, default=0.05)
    t.add_argument("--seed", type=int, default=1)
    t.add_argument("--threads", type=int, default=2)
    t.add_argument("--nam-render")
    t.add_argument("--no-eval", action="store_true")
    c = sub.add_parser("check")
    c.add_argument("--model", required=True)
    c.add_argument("--input", required=True)
    c.add_argument("--nam-render", required=True)
    r = sub.add_parser("reexport")
    r.add_argument("--model", required=True)
    r.add_argument("--out", required=True)
    e = sub.add_parser("esr")
    e.add_argument("--model", required=True)
    e.add_argument("--input", required=True)
    e.add_argument("--target", required=True)
    e.add_argument("--nam-render")
    args = parser.parse_args(argv)
    {"train": command_train, "check": command_check, "esr": command_esr,
     "reexport": command_reexport}[args.command](args)


if __name__ == "__main__":
    main()
