"""Text generation with sample_topp: a small word-level trigram model, built at run time from the
help texts that ship with Python (pydoc_data.topics), generates a few sentences at several
temperature / top-p / top-k settings, and the time of each draw is measured.

The model interpolates trigram, bigram and unigram frequencies, so every word of the vocabulary
keeps a positive probability; its log-probabilities are the logits handed to sample_topp.
"""

import re
import time

import numpy as np
import pydoc_data.topics

import qelt_native

# Words, numbers and plain punctuation; markup (rules of '*' or '=', quotes, backticks) is left out.
TOKEN = re.compile(r"[A-Za-z_][A-Za-z0-9_']*|[0-9]+|[.,:;()?!]")
WEIGHTS = (0.6, 0.3, 0.1)  # trigram, bigram, unigram
SETTINGS = [  # (label, temperature, top_p, top_k)
    ("greedy (temperature 0)", 0.0, 1.0, 0),
    ("temperature 0.7, top_p 0.9", 0.7, 0.9, 0),
    ("temperature 1.0, top_p 0.95, top_k 40", 1.0, 0.95, 40),
    ("temperature 1.3, top_k 10", 1.3, 1.0, 10),
]
PROMPT = ["The", "following"]
WORDS_PER_TEXT = 45


class TrigramModel:
    """Frequencies of words, word pairs and word triples, kept as sorted NumPy key arrays."""

    def __init__(self, text):
        words = TOKEN.findall(text)
        self.vocabulary, ids = np.unique(np.array(words), return_inverse=True)
        self.index = {w: i for i, w in enumerate(self.vocabulary.tolist())}
        v = len(self.vocabulary)
        ids = ids.astype(np.int64)
        unigram = np.bincount(ids, minlength=v).astype(np.float64)
        self.unigram = unigram / unigram.sum()
        self.pairs = self._grouped(ids[:-1] * v + ids[1:])
        self.triples = self._grouped((ids[:-2] * v + ids[1:-1]) * v + ids[2:])
        self.size = v

    @staticmethod
    def _grouped(keys):
        unique, counts = np.unique(keys, return_counts=True)
        return unique, counts.astype(np.float64)

    def _next_counts(self, table, context_key):
        """The words that followed the context and how often: (word ids, counts)."""
        keys, counts = table
        v = self.size
        lo = np.searchsorted(keys, context_key * v)
        hi = np.searchsorted(keys, (context_key + 1) * v)
        return keys[lo:hi] - context_key * v, counts[lo:hi]

    def logits(self, previous, last):
        """float32 log-probabilities of the next word after the words `previous`, `last`."""
        probs = WEIGHTS[2] * self.unigram
        for weight, table, context in (
            (WEIGHTS[1], self.pairs, last),
            (WEIGHTS[0], self.triples, previous * self.size + last),
        ):
            following, counts = self._next_counts(table, context)
            if counts.size:
                probs[following] += weight * counts / counts.sum()
        return np.log(probs).astype(np.float32)


def detokenize(words):
    text = ""
    for w in words:
        glue = not text or w in ".,:;)?!" or text.endswith("(")
        text += w if glue else " " + w
    return text


def generate(model, temperature, top_p, top_k, seed):
    ids = [model.index[w] for w in PROMPT]
    draw_seconds = 0.0
    for step in range(WORDS_PER_TEXT):
        logits = model.logits(ids[-2], ids[-1])
        start = time.perf_counter()
        token = qelt_native.sample_topp(logits, temperature, top_p, top_k, seed * 1000 + step)
        draw_seconds += time.perf_counter() - start
        ids.append(token)
    text = detokenize(model.vocabulary[ids].tolist())
    return text, draw_seconds / WORDS_PER_TEXT * 1e6


def main():
    start = time.perf_counter()
    model = TrigramModel("\n".join(pydoc_data.topics.topics.values()))
    print(
        f"trigram model of {model.size} words, {len(model.pairs[0])} pairs and "
        f"{len(model.triples[0])} triples from pydoc_data.topics "
        f"({time.perf_counter() - start:.2f} s to build)"
    )
    for label, temperature, top_p, top_k in SETTINGS:
        text, micros = generate(model, temperature, top_p, top_k, seed=7)
        print()
        print(f"{label}: {micros:.1f} us per draw over {model.size} logits")
        print(f"  {text}")


if __name__ == "__main__":
    main()
