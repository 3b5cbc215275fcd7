#!/usr/bin/env python3
# Two or more contact sheets one above the other, 8 white pixels apart, in
# grey, for docs/quality.md:
#   bench/stack_sheets.py OUT.png A.png B.png [C.png...]
# Needs python3-pil.
import sys
from PIL import Image
GAP = 8
sheets = [Image.open(p).convert('L') for p in sys.argv[2:]]
width = max(s.width for s in sheets)
canvas = Image.new('L', (width, sum(s.height for s in sheets) + GAP * (len(sheets) - 1)), 255)
y = 0
for s in sheets:
    canvas.paste(s, (0, y))
    y += s.height + GAP
canvas.save(sys.argv[1])
