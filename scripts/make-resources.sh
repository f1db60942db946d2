#!/usr/bin/env bash
# Draws the window's banner (resources/banner.jpg, 318 x 139) and the application icon
# (resources/vpn-connector.png, 256 x 256) with ImageMagick. Both files are committed; run this
# again only to change them. Needs the Noto Serif CJK fonts (scripts/install-deps.sh).
set -euo pipefail
cd "$(dirname "$0")/../resources"

title_font=Noto-Serif-CJK-SC-Bold
text_font=Noto-Serif-CJK-SC

# A calm teal gradient, a pale sun, two low hills and a few reeds; the product name in a Song face.
convert -size 318x139 gradient:'#eef6f4'-'#bcdad6' \
    -fill '#d9ece8' -draw "circle 262,40 262,14" \
    -fill '#a9cfc9' -draw "path 'M 0,112 C 60,92 120,100 170,110 S 270,122 318,100 L 318,139 L 0,139 Z'" \
    -fill '#8fbfb8' -draw "path 'M 0,126 C 80,110 160,130 230,120 S 300,112 318,118 L 318,139 L 0,139 Z'" \
    -stroke '#5f8f86' -strokewidth 1.2 -fill none \
    -draw "path 'M 286,139 C 284,118 282,100 280,84'" \
    -draw "path 'M 292,139 C 292,120 295,104 300,92'" \
    -draw "path 'M 298,139 C 300,124 306,112 312,104'" \
    -stroke none -fill '#1f4e5a' -font "$title_font" -pointsize 27 -annotate +22+62 '青禾鹭VPN连接器' \
    -fill '#3f6d72' -font "$text_font" -pointsize 12 -annotate +24+86 '安全  ·  稳定  ·  畅通' \
    -strip -quality 92 banner.jpg

# A rounded teal square with 鹭 (heron) in white.
convert -size 256x256 gradient:'#3d8c86'-'#1f4e5a' \
    \( -size 256x256 xc:none -fill white -draw "roundrectangle 0,0 255,255 44,44" \) \
    -compose DstIn -composite -compose Over \
    -fill white -font "$title_font" -pointsize 168 -gravity center -annotate +0-8 '鹭' \
    -strip vpn-connector.png

echo "resources: banner.jpg $(identify -format '%wx%h' banner.jpg), vpn-connector.png $(identify -format '%wx%h' vpn-connector.png)"
