"""Resident memory an ``Index`` adds beside a ``Jieba`` in the same process.

The index's analyzer segments with the process's shared ``pylumotext.Jieba``
(``lumotext.shared_jieba()``), so beside that object an index loads no second dictionary. A
``Jieba`` built directly with ``pylumotext.Jieba(...)`` is a separate object, and the index
still loads the shared one: both cases are shown. Each case runs in a fresh process.

    python bench/segmenter_sharing_memory.py
"""

from __future__ import annotations

import subprocess
import sys

CASE = """
import sys

def rss_mib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024

import pylumotext, lumotext
start = rss_mib()
if sys.argv[1] == "shared":
    jieba = lumotext.shared_jieba()
else:
    jieba = pylumotext.Jieba(**lumotext.default_paths())
jieba.cut("北京大学的学生")
with_jieba = rss_mib()
index = lumotext.Index()
index.add(["北京大学的学生", "上海的天气"])
with_index = rss_mib()
print(f"{with_jieba - start:.1f} {with_index - with_jieba:.1f}")
"""


def main() -> int:
    print("| Jieba made by | Jieba adds (MiB) | Index beside it adds (MiB) |")
    print("|---|---|---|")
    for case, label in (("shared", "lumotext.shared_jieba()"), ("own", "pylumotext.Jieba(...)")):
        out = subprocess.run([sys.executable, "-c", CASE, case], capture_output=True, text=True, check=True).stdout
        jieba, index = out.split()
        print(f"| {label} | {jieba} | {index} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
