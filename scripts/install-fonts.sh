#!/usr/bin/env bash
# Maps SimSun / 宋体 to a serif CJK face so the windows draw Chinese in a Song style.
set -euo pipefail
conf_dir=/etc/fonts/conf.d
target=$conf_dir/65-vpn-connector-simsun.conf
[[ -w $conf_dir ]] || { echo "install-fonts: $conf_dir not writable, skipping" >&2; exit 0; }
cat >"$target" <<'XML'
<?xml version="1.0"?>
<!DOCTYPE fontconfig SYSTEM "fonts.dtd">
<fontconfig>
  <alias binding="same">
    <family>SimSun</family>
    <prefer><family>Noto Serif CJK SC</family><family>AR PL UMing CN</family></prefer>
  </alias>
  <alias binding="same">
    <family>宋体</family>
    <prefer><family>Noto Serif CJK SC</family><family>AR PL UMing CN</family></prefer>
  </alias>
</fontconfig>
XML
fc-cache -f >/dev/null 2>&1 || true
