"""The main job: circuits on batches of statevectors, and text generation by top-p sampling."""

import importlib
import os
import sys

import qelt_native

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))


def section(title):
    print()
    print(title)
    print("=" * len(title))


def main():
    print(f"qelt_native {qelt_native.__version__}: {', '.join(qelt_native.__all__[1:])}")
    for name, title in (
        ("circuits", "Circuits"),
        ("generate", "Text generation"),
        ("sampling_plot", "Sampled token frequencies against the nucleus weights"),
    ):
        section(title)
        importlib.import_module(name).main()


if __name__ == "__main__":
    main()
