#!/usr/bin/env bash
# How sample/sample.mp4 was made: 8 seconds of generated pictures at 320 x 240,
# 25 frames per second: a slowly turning grey gradient (smooth tones show the
# dithering), a black square sliding across it and a zooming Mandelbrot set
# swaying in the lower right (motion and fine detail).
set -euo pipefail
cd "$(dirname "$0")/.."
ffmpeg -nostdin -v error -y \
  -f lavfi -i "gradients=s=320x240:c0=0x101010:c1=0xf0f0f0:x0=0:y0=0:x1=320:y1=240:speed=0.02:d=8:r=25:seed=7" \
  -f lavfi -i "mandelbrot=s=120x120:r=25:end_pts=300" \
  -f lavfi -i "color=black:s=40x40:r=25" \
  -filter_complex "[1]format=yuv420p,trim=duration=8[m];[0]format=yuv420p[g];[g][2]overlay=x='20+mod(t*40\,200)':y=20:shortest=1[s];[s][m]overlay=x='180-30*sin(t)':y=100:shortest=1,format=yuv420p" \
  -c:v libx264 -preset slow -crf 30 -an sample/sample.mp4
