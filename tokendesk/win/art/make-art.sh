#!/usr/bin/env bash
# Draws the tool's pictures with ImageMagick: the tree's image strip (key, container,
# certificate, key pair; white is transparent) and the two icons. Run it from this folder's
# parent when a picture changes; the results are kept in the tree.
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
convert -size 16x16 xc:white -fill '#d4a017' -stroke '#7a5c00' -draw 'circle 5,8 5,4' \
    -draw 'rectangle 8,7 15,9' -draw 'rectangle 12,9 13,12' -fill white -draw 'circle 5,8 5,7' \
    "$work/key.png"
convert -size 16x16 xc:white -fill '#6fa8dc' -stroke '#1f4e79' -draw 'rectangle 1,4 14,13' \
    -draw 'rectangle 1,2 6,4' "$work/container.png"
convert -size 16x16 xc:white -fill '#fff8dc' -stroke '#555555' -draw 'rectangle 2,1 13,14' \
    -stroke '#aa0000' -fill '#dd3333' -draw 'circle 10,11 10,9' -stroke '#555555' \
    -draw 'line 4,4 11,4' -draw 'line 4,7 11,7' "$work/cert.png"
convert -size 16x16 xc:white -fill '#93c47d' -stroke '#274e13' -draw 'circle 4,5 4,2' \
    -draw 'rectangle 6,4 12,6' -fill '#d4a017' -stroke '#7a5c00' -draw 'circle 8,11 8,8' \
    -draw 'rectangle 10,10 15,12' "$work/keypair.png"
convert "$work/key.png" "$work/container.png" "$work/cert.png" "$work/keypair.png" +append \
    -type TrueColor BMP3:../tree_images.bmp
for s in 16 32 48; do
    convert -size ${s}x${s} xc:none -fill '#1f4e79' \
        -draw "roundrectangle 0,$((s / 4)) $((s - 1)),$((s * 3 / 4)) $((s / 8)),$((s / 8))" \
        -fill '#d4a017' -draw "circle $((s / 3)),$((s / 2)) $((s / 3)),$((s / 3))" \
        -fill white -draw "rectangle $((s / 2)),$((s * 7 / 16)) $((s * 7 / 8)),$((s * 9 / 16))" \
        "$work/prog$s.png"
done
convert "$work/prog16.png" "$work/prog32.png" "$work/prog48.png" ../program.ico
for s in 16 32; do
    convert -size ${s}x${s} xc:none -fill '#444444' \
        -draw "roundrectangle $((s / 8)),$((s / 16)) $((s * 7 / 8)),$((s - 1)) 2,2" \
        -fill '#d4a017' -draw "rectangle $((s / 4)),$((s / 8)) $((s * 3 / 4)),$((s * 3 / 8))" \
        -fill '#6fa8dc' -draw "rectangle $((s / 4)),$((s / 2)) $((s * 3 / 4)),$((s * 7 / 8))" \
        "$work/dev$s.png"
done
convert "$work/dev16.png" "$work/dev32.png" ../device.ico
