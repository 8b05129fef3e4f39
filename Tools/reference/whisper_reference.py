#!/usr/bin/python3
"""Independent reference of the Whisper architecture, for the runtime's golden files.

Development time only (needs python3-torch and numpy); CI never runs it. It reads a hub
checkpoint folder directly (config.json, model.safetensors, generation_config.json) and
computes in float64:

  * the log-mel spectrogram (periodic Hann window, centred frames with reflected edges,
    |rfft|^2, the shared Slaney filterbank fixture, log10, clamp to max - 8, (x + 4) / 4);
  * the audio encoder (two convolutions with exact-erf GELU, positions, pre-norm blocks,
    final norm);
  * the text decoder over a whole token sequence at once (causal self-attention, no
    cache), with its weight matrices rounded to half precision as the converter stores
    them, and the self- and cross-attention keys and values rounded to half precision as
    the runtime keeps them; per position: logits, this position's keys and values of
    every layer, and the cross-attention weights averaged over the alignment heads.
    Greedy decoding picks the first largest logit after rounding to half precision, as a
    caller of the runtime sees the logits.

Usage:
  whisper_reference.py goldens <checkpoint> <shared fixtures> <output folder>
"""
import json
import os
import struct
import subprocess
import sys

import numpy as np
import torch

torch.set_grad_enabled(False)
DT = torch.float64


# ---------------------------------------------------------------- checkpoint reading
def read_safetensors(path):
    with open(path, "rb") as f:
        data = f.read()
    (length,) = struct.unpack("<Q", data[:8])
    header = json.loads(data[8 : 8 + length])
    base = 8 + length
    tensors = {}
    kinds = {"F32": np.float32, "F16": np.float16, "F64": np.float64}
    for name, entry in header.items():
        if name == "__metadata__":
            continue
        begin, end = entry["data_offsets"]
        if entry["dtype"] == "BF16":
            raw = np.frombuffer(data[base + begin : base + end], dtype=np.uint16).astype(np.uint32) << 16
            array = raw.view(np.float32)
        else:
            array = np.frombuffer(data[base + begin : base + end], dtype=kinds[entry["dtype"]])
        tensors[name] = torch.tensor(array.astype(np.float64).reshape(entry["shape"]), dtype=DT)
    return tensors


class Checkpoint:
    def __init__(self, folder):
        with open(os.path.join(folder, "config.json")) as f:
            self.config = json.load(f)
        self.tensors = read_safetensors(os.path.join(folder, "model.safetensors"))
        heads = []
        generation = os.path.join(folder, "generation_config.json")
        if os.path.exists(generation):
            with open(generation) as f:
                heads = json.load(f).get("alignment_heads", [])
        if not heads:
            layers = self.config["decoder_layers"]
            heads = [[l, h] for l in range(layers // 2, layers) for h in range(self.config["decoder_attention_heads"])]
        self.alignment_heads = heads

    def __getitem__(self, name):
        if "model." + name in self.tensors:
            return self.tensors["model." + name]
        return self.tensors[name]

    def half(self, name):
        """A decoder matrix as the converter stores it: rounded to half precision."""
        return self[name].to(torch.float16).to(DT)


# ---------------------------------------------------------------- mel spectrogram
def log_mel(samples, filters, window_samples=480000, n_fft=400, hop=160):
    x = torch.zeros(window_samples, dtype=DT)
    x[: len(samples)] = torch.tensor(samples[:window_samples], dtype=DT)
    padded = torch.nn.functional.pad(x[None, None, :], (n_fft // 2, n_fft // 2), mode="reflect")[0, 0]
    frames = padded.unfold(0, n_fft, hop)  # (frames + 1, n_fft)
    n = torch.arange(n_fft, dtype=DT)
    window = 0.5 - 0.5 * torch.cos(2 * np.pi * n / n_fft)
    spectrum = torch.fft.rfft(frames * window, dim=1)
    power = (spectrum.real ** 2 + spectrum.imag ** 2)[:-1]  # drop the last frame
    mel = torch.tensor(filters, dtype=DT) @ power.T  # (bands, frames)
    mel = torch.log10(torch.clamp(mel, min=1e-10))
    mel = torch.maximum(mel, mel.max() - 8.0)
    return (mel + 4.0) / 4.0


# ---------------------------------------------------------------- transformer pieces
def gelu(x):
    return 0.5 * x * (1.0 + torch.erf(x / np.sqrt(2.0)))


def layer_norm(x, w, b):
    mean = x.mean(-1, keepdim=True)
    var = ((x - mean) ** 2).mean(-1, keepdim=True)
    return (x - mean) / torch.sqrt(var + 1e-5) * w + b


def attention(q, k, v, heads, mask=None):
    """q (n, d), k/v (m, d) -> output (n, d) and probabilities (heads, n, m)."""
    n, d = q.shape
    m = k.shape[0]
    w = d // heads
    qh = q.view(n, heads, w).transpose(0, 1)
    kh = k.view(m, heads, w).transpose(0, 1)
    vh = v.view(m, heads, w).transpose(0, 1)
    scores = qh @ kh.transpose(1, 2) / np.sqrt(w)
    if mask is not None:
        scores = scores + mask
    p = torch.softmax(scores, dim=-1)
    return (p @ vh).transpose(0, 1).reshape(n, d), p


def encode(ck, mel):
    c = ck.config
    x = torch.tensor(mel, dtype=DT)[None]  # (1, bands, 2T)
    x = gelu(torch.nn.functional.conv1d(x, ck["encoder.conv1.weight"], ck["encoder.conv1.bias"], padding=1))
    x = gelu(torch.nn.functional.conv1d(x, ck["encoder.conv2.weight"], ck["encoder.conv2.bias"], stride=2, padding=1))
    x = x[0].T + ck["encoder.embed_positions.weight"]
    for i in range(c["encoder_layers"]):
        p = f"encoder.layers.{i}."
        h = layer_norm(x, ck[p + "self_attn_layer_norm.weight"], ck[p + "self_attn_layer_norm.bias"])
        q = h @ ck[p + "self_attn.q_proj.weight"].T + ck[p + "self_attn.q_proj.bias"]
        k = h @ ck[p + "self_attn.k_proj.weight"].T
        v = h @ ck[p + "self_attn.v_proj.weight"].T + ck[p + "self_attn.v_proj.bias"]
        o, _ = attention(q, k, v, c["encoder_attention_heads"])
        x = x + o @ ck[p + "self_attn.out_proj.weight"].T + ck[p + "self_attn.out_proj.bias"]
        h = layer_norm(x, ck[p + "final_layer_norm.weight"], ck[p + "final_layer_norm.bias"])
        h = gelu(h @ ck[p + "fc1.weight"].T + ck[p + "fc1.bias"])
        x = x + h @ ck[p + "fc2.weight"].T + ck[p + "fc2.bias"]
    x = layer_norm(x, ck["encoder.layer_norm.weight"], ck["encoder.layer_norm.bias"])
    return x.T  # (d, T)


def half(x):
    return x.to(torch.float16).to(DT)


def decode(ck, tokens, encoder_output):
    """All positions at once. Returns logits (n, V), keys and values (n, layers*d),
    alignment (n, T)."""
    c = ck.config
    heads = c["decoder_attention_heads"]
    n = len(tokens)
    audio = torch.tensor(encoder_output, dtype=DT).T  # (T, d)
    x = ck.half("decoder.embed_tokens.weight")[tokens] + ck.half("decoder.embed_positions.weight")[:n]
    causal = torch.triu(torch.full((n, n), float("-inf"), dtype=DT), diagonal=1)
    keys, values = [], []
    alignment = torch.zeros(n, audio.shape[0], dtype=DT)
    for i in range(c["decoder_layers"]):
        p = f"decoder.layers.{i}."
        h = layer_norm(x, ck[p + "self_attn_layer_norm.weight"], ck[p + "self_attn_layer_norm.bias"])
        q = h @ ck.half(p + "self_attn.q_proj.weight").T + ck[p + "self_attn.q_proj.bias"]
        k = half(h @ ck.half(p + "self_attn.k_proj.weight").T)
        v = half(h @ ck.half(p + "self_attn.v_proj.weight").T + ck[p + "self_attn.v_proj.bias"])
        keys.append(k)
        values.append(v)
        o, _ = attention(q, k, v, heads, causal)
        x = x + o @ ck.half(p + "self_attn.out_proj.weight").T + ck[p + "self_attn.out_proj.bias"]
        h = layer_norm(x, ck[p + "encoder_attn_layer_norm.weight"], ck[p + "encoder_attn_layer_norm.bias"])
        q = h @ ck.half(p + "encoder_attn.q_proj.weight").T + ck[p + "encoder_attn.q_proj.bias"]
        k = half(audio @ ck.half(p + "encoder_attn.k_proj.weight").T)
        v = half(audio @ ck.half(p + "encoder_attn.v_proj.weight").T + ck[p + "encoder_attn.v_proj.bias"])
        o, probabilities = attention(q, k, v, heads)
        for layer, head in ck.alignment_heads:
            if layer == i:
                alignment += probabilities[head] / len(ck.alignment_heads)
        x = x + o @ ck.half(p + "encoder_attn.out_proj.weight").T + ck[p + "encoder_attn.out_proj.bias"]
        h = layer_norm(x, ck[p + "final_layer_norm.weight"], ck[p + "final_layer_norm.bias"])
        h = gelu(h @ ck.half(p + "fc1.weight").T + ck[p + "fc1.bias"])
        x = x + h @ ck.half(p + "fc2.weight").T + ck[p + "fc2.bias"]
    x = layer_norm(x, ck["decoder.layer_norm.weight"], ck["decoder.layer_norm.bias"])
    logits = x @ ck.half("decoder.embed_tokens.weight").T
    return logits, torch.cat(keys, dim=1), torch.cat(values, dim=1), alignment


# ---------------------------------------------------------------- goldens
def jfk_samples(fixtures):
    """The clip as 16 kHz mono, rounded to half precision (the stored golden input)."""
    raw = subprocess.run(
        ["ffmpeg", "-v", "error", "-i", os.path.join(fixtures, "audio", "jfk.flac"), "-ac", "1", "-ar", "16000",
         "-f", "f32le", "-"],
        check=True, capture_output=True).stdout
    return np.frombuffer(raw, dtype=np.float32).astype(np.float16)


def goldens(checkpoint_folder, fixtures, out):
    os.makedirs(out, exist_ok=True)
    ck = Checkpoint(checkpoint_folder)
    samples = jfk_samples(fixtures)
    np.save(os.path.join(out, "jfk_16k.npy"), samples)
    x = samples.astype(np.float64)

    filters80 = np.fromfile(os.path.join(fixtures, "mel", "mel_80.f32"), dtype=np.float32).reshape(80, 201)
    filters128 = np.fromfile(os.path.join(fixtures, "mel", "mel_128.f32"), dtype=np.float32).reshape(128, 201)
    mel80 = log_mel(x, filters80).numpy()
    kept = 1200  # frames beyond the speech hold the floor value
    assert np.all(mel80[:, kept:] == mel80.min())
    np.save(os.path.join(out, "mel80_jfk_head.npy"), mel80[:, :kept].astype(np.float32))
    mel128 = log_mel(x[:48000], filters128).numpy()
    np.save(os.path.join(out, "mel128_jfk3s_head.npy"), mel128[:, :320].astype(np.float32))

    # The encoder's input is rebuilt from the stored head and the floor, as the test does.
    head = mel80[:, :kept].astype(np.float32)
    # The floor is 8/4 below the maximum: (max_log - 8 + 4) / 4 = (max_log + 4) / 4 - 2.
    encoder_input = np.full((80, 3000), np.float32(head.max()) - np.float32(2.0), dtype=np.float32)
    encoder_input[:, :kept] = head
    encoded = encode(ck, encoder_input.astype(np.float64)).numpy().astype(np.float32)
    np.save(os.path.join(out, "encoder_output.npy"), encoded)

    sot, en, transcribe, no_timestamps = 50258, 50259, 50359, 50363
    tokens = [sot, en, transcribe, no_timestamps]
    margins = []
    for _ in range(30):
        logits, _, _, _ = decode(ck, tokens, encoded.astype(np.float64))
        last = half(logits[-1])
        top = torch.topk(last, 2).values
        margins.append(float(top[0] - top[1]))
        tokens.append(int(torch.argmax(last)))
    logits, keys, values, alignment = decode(ck, tokens, encoded.astype(np.float64))
    steps = [0, 3, len(tokens) - 1]
    np.save(os.path.join(out, "decoder_tokens.npy"), np.array(tokens, dtype=np.int32))
    np.save(os.path.join(out, "decoder_logits.npy"), logits[steps].numpy().astype(np.float16))
    np.save(os.path.join(out, "decoder_keys.npy"), keys.numpy().astype(np.float16))
    np.save(os.path.join(out, "decoder_values.npy"), values.numpy().astype(np.float16))
    np.save(os.path.join(out, "decoder_alignment.npy"), alignment.numpy().astype(np.float16))
    print("mel80 range", mel80.min(), mel80.max())
    print("encoder output range", encoded.min(), encoded.max())
    print("logit range", float(logits.min()), float(logits.max()))
    print("greedy tokens", tokens[4:])
    print("smallest greedy margin (half precision)", min(margins))


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "goldens":
        goldens(sys.argv[2], sys.argv[3], sys.argv[4])
    else:
        print(__doc__)
        sys.exit(2)
