#!/usr/bin/env python3
# The shades of .8xx videos: mean (black 0, dark grey 85, light grey 170,
# white 255) and the share of each, over every pixel of every frame:
#   bench/shades.py VIDEO.8xx...      one tab-separated line each:
#   path, mean, black %, dark grey %, light grey %, white %
import sys

LEVELS = (0, 85, 170, 255)


def shares(path):
    data = open(path, 'rb').read()
    grey = data[13] != 0
    record = 1536 if grey else 768
    counts = [0, 0, 0, 0]
    for at in range(23, len(data) - record + 1, record):
        for i in range(768):
            first = data[at + i]
            second = data[at + 768 + i] if grey else first
            for bit in range(7, -1, -1):
                dark, dark2 = first >> bit & 1, second >> bit & 1
                # First plane dark: black or dark grey; second: black or light grey.
                level = (0 if dark else 2) + (0 if dark2 else 1) if grey else (0 if dark else 3)
                counts[level] += 1
    total = sum(counts) or 1
    return sum(c * v for c, v in zip(counts, LEVELS)) / total, [100.0 * c / total for c in counts]


for path in sys.argv[1:]:
    mean, s = shares(path)
    print('\t'.join([path, '%.1f' % mean] + ['%.1f' % v for v in s]))
