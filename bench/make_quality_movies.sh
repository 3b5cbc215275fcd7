#!/usr/bin/env bash
# Makes the movies the dithering quality table is measured on, from the
# photographs Debian's python3-skimage ships:
#   bench/make_quality_movies.sh [DIR]          (DIR defaults to build-quality)
# DIR/still.mp4   one photograph held 5 s with light camera noise
# DIR/pans.mp4    slow pans over four photographs, 24 s, 3 to 4 display pixels a second
# DIR/action.mp4  fast pans, a zoom, shaking, an object flying over a picture,
#                 a cut every 1.5 s; 12 s
# DIR/zoom.mp4    continuous zooms into detail: in on a motorcycle, out of a
#                 cat's face; 12 s
# DIR/ramp.mp4    tone: a grey ramp from black to white across the top half, a
#                 flat grey rising slowly from black to white below it; 10 s
# DIR/zoneplate.mp4  detail: a zone plate (rings finer towards the edges, up
#                 to the display's finest) drifting slowly; 8 s
# DIR/squares-dark.mp4, DIR/squares-light.mp4  a black square crossing a flat
#                 240 grey, a white one a flat 16, at 1, 3 and 8 display
#                 pixels a frame, 4 s each: trails and holes behind motion
# Every movie is 480 x 320 (the display's shape), 25 frames a second, x264 crf 20.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --packages-only tests bench >&2
out=${1:-build-quality}
mkdir -p "$out/segments"
photos=/usr/lib/python3/dist-packages/skimage/data
fps=25
# The same bytes on every run: fixed noise seed, no encoder or muxer stamps.
exact=(-fflags +bitexact -flags:v +bitexact -map_metadata -1)

# segment NAME SECONDS PHOTO FILTER: PHOTO held as a movie through FILTER
# (which must end at 480 x 320), stored losslessly for the final encode.
segment() {
  ffmpeg -v error -y -framerate $fps -loop 1 -t "$2" -i "$photos/$3" \
    -vf "$4,setsar=1,format=yuv420p" -r $fps -c:v ffv1 "${exact[@]}" "$out/segments/$1.mkv"
}

# generated NAME SECONDS EXPRESSION: a picture made by ffmpeg's geq from
# EXPRESSION (of X, Y, W, H and the time T), in grey.
generated() {
  ffmpeg -v error -y -f lavfi -i "color=black:s=480x320:r=$fps:d=$2,format=gray,geq=lum='$3'" \
    -vf "setsar=1,format=yuv420p" -r $fps -c:v ffv1 "${exact[@]}" "$out/segments/$1.mkv"
}

# overlay NAME SECONDS BACKGROUND BGFILTER OBJECT OBJFILTER X Y: OBJECT
# (through OBJFILTER) moving over BACKGROUND along X(t), Y(t).
overlay() {
  ffmpeg -v error -y -framerate $fps -loop 1 -t "$2" -i "$photos/$3" \
    -framerate $fps -loop 1 -t "$2" -i "$photos/$5" \
    -filter_complex "[0]$4[bg];[1]$6[fg];[bg][fg]overlay=x='$7':y='$8',setsar=1,format=yuv420p" \
    -r $fps -c:v ffv1 "${exact[@]}" "$out/segments/$1.mkv"
}

# join MOVIE SEGMENT...: the segments one after another, cut hard, encoded once.
join() {
  local movie=$1 list="$out/segments/$1.txt"
  shift
  : > "$list"
  for s in "$@"; do echo "file '$s.mkv'" >> "$list"; done
  ffmpeg -v error -y -f concat -safe 0 -i "$list" -c:v libx264 -preset medium -crf 20 \
    -pix_fmt yuv420p -threads 1 "${exact[@]}" "$out/$movie.mp4"
}

# A photograph held still, light temporal noise on it (ffmpeg's noise filter,
# strength 8 of 100, new every frame) before the encoder.
segment still 5 coffee.png "scale=480:320,noise=alls=8:allf=t"
join still still

# Slow pans: 15 to 20 movie pixels a second, 3 to 4 display pixels.
segment pan1 6 coffee.png "scale=720:480,crop=480:320:x='20*t':y=80"
segment pan2 6 astronaut.png "scale=512:512,crop=480:320:x=16:y='20*t'"
segment pan3 6 chelsea.png "scale=720:480,crop=480:320:x='40+15*t':y='40+10*t'"
segment pan4 6 motorcycle_left.png "crop=480:320:x='240-20*t':y=90"
join pans pan1 pan2 pan3 pan4

# Fast action: 200 to 350 movie pixels a second, and a cut every 1.5 s.
segment act1 1.5 rocket.jpg "scale=960:640,crop=480:320:x='300*t':y=160"
segment act2 1.5 astronaut.png \
  "scale=480:480,crop=480:320:0:80,zoompan=z='1+0.025*on':d=1:x='iw/2-iw/zoom/2':y='ih/2-ih/zoom/2':s=480x320:fps=$fps"
segment act3 1.5 coffee.png "scale=720:480,crop=480:320:x='120+100*sin(10*t)':y='80+60*cos(13*t)'"
overlay act4 1.5 camera.png "scale=480:480,crop=480:320:0:80" chelsea.png "scale=160:106" \
  "-160+430*t" "100+60*sin(6*t)"
segment act5 1.5 motorcycle_left.png "scale=1112:750,crop=480:320:x='600-350*t':y=200"
segment act6 1.5 hubble_deep_field.jpg \
  "scale=600:523,crop=480:320:60:100,zoompan=z='1.6-0.02*on':d=1:x='iw/2-iw/zoom/2':y='ih/2-ih/zoom/2':s=480x320:fps=$fps"
segment act7 1.5 chelsea.png "scale=900:600,crop=480:320:x='280*t':y='250-160*t'"
overlay act8 1.5 coffee.png "scale=480:320" rocket.jpg "scale=180:120" "300-400*t" "200-150*t"
join action act1 act2 act3 act4 act5 act6 act7 act8

# Continuous zooms, each frame from a picture four times the movie's size so
# that zoompan's whole-pixel positions move smoothly: in by 0.06 a second, out
# by 0.1 a second.
segment zoom1 6 motorcycle_left.png \
  "scale=1920:1280,zoompan=z='1+0.0024*on':d=1:x='iw*0.55-iw/zoom/2':y='ih*0.45-ih/zoom/2':s=480x320:fps=$fps"
segment zoom2 6 chelsea.png \
  "scale=1920:1280,zoompan=z='1.8-0.004*on':d=1:x='iw*0.45-iw/zoom/2':y='ih*0.35-ih/zoom/2':s=480x320:fps=$fps"
join zoom zoom1 zoom2

# Tone: every grey across the top half; below, one grey for the whole half,
# from black at the start to white at the end.
generated ramp 10 "if(lt(Y,H/2),255*X/(W-1),255*T/10)"
join ramp ramp

# A zone plate: rings whose spatial frequency grows with the distance from
# the middle, to 0.1 cycles a movie pixel at the sides (the display's
# finest, at 5 movie pixels to a display pixel), their phase turning once in
# 4 s.
generated zoneplate 8 "128+127*cos(0.0013*((X-W/2)*(X-W/2)+(Y-H/2)*(Y-H/2))-PI/2*T)"
join zoneplate zoneplate

# square NAME SECONDS GROUND SQUARE SPEED: a 60 x 60 square (12 display
# pixels) of grey SQUARE going to and fro across a flat GROUND at SPEED
# movie pixels a second (5 to a display pixel, at 10 frames a second 50 a
# second for each display pixel a frame).
square() {
  local g s
  g=$(printf '0x%02x%02x%02x' "$3" "$3" "$3")
  s=$(printf '0x%02x%02x%02x' "$4" "$4" "$4")
  ffmpeg -v error -y -f lavfi -i "color=$g:s=480x320:r=$fps:d=$2" -f lavfi -i "color=$s:s=60x60:r=$fps:d=$2" \
    -filter_complex "[0][1]overlay=x='20+if(lt(mod($5*t\,800)\,400)\,mod($5*t\,800)\,800-mod($5*t\,800))':y=130,setsar=1,format=yuv420p" \
    -r $fps -c:v ffv1 "${exact[@]}" "$out/segments/$1.mkv"
}
for speed in 1 3 8; do
  square "dark$speed" 4 240 0 $((50 * speed))
  square "light$speed" 4 16 255 $((50 * speed))
done
join squares-dark dark1 dark3 dark8
join squares-light light1 light3 light8

for movie in still pans action zoom ramp zoneplate squares-dark squares-light; do echo "$out/$movie.mp4"; done
