#!/usr/bin/env python3
# Close-ups for judging trails and textures: the source frames of a raw bgr24
# movie (96 x 64, as dither_quality --raw-out writes) above the same frames of
# any number of videos:
#   bench/closeup.py OUT.png SCALE MOVIE.raw FRAME,FRAME,... A.8xx [B.8xx...]
# Rows: source grey, A, B, ...; columns: the frames. Needs python3-pil.
import sys
from PIL import Image
out, scale, raw = sys.argv[1], int(sys.argv[2]), sys.argv[3]
frames = [int(a) for a in sys.argv[4].split(',')]
videos = sys.argv[5:]
def src(n):
    d = open(raw,'rb').read()[n*18432:(n+1)*18432]
    img = Image.new('L',(96,64)); p = img.load()
    for y in range(64):
        for x in range(96):
            b,g,r = d[3*(y*96+x):3*(y*96+x)+3]; p[x,y] = (r*19589+g*38469+b*7471)>>16
    return img
def vid(path, n):
    data = open(path,'rb').read(); grey = data[13]; rec = 1536 if grey else 768
    r = data[23+n*rec:23+(n+1)*rec]; img = Image.new('L',(96,64)); p = img.load()
    for y in range(64):
        for x in range(96):
            b1 = (r[y*12+x//8] >> (7-x%8)) & 1
            if grey:
                b2 = (r[768+y*12+x//8] >> (7-x%8)) & 1
                p[x,y] = {(1,1):0,(1,0):85,(0,1):170,(0,0):255}[(b1,b2)]
            else: p[x,y] = 0 if b1 else 255
    return img
W, H = 96*scale, 64*scale
canvas = Image.new('L', (len(frames)*(W+6), (1+len(videos))*(H+6)), 128)
for c, n in enumerate(frames):
    for r, im in enumerate([src(n)] + [vid(v, n) for v in videos]):
        canvas.paste(im.resize((W,H), Image.NEAREST), (c*(W+6), r*(H+6)))
canvas.save(out)
