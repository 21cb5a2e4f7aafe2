#!/usr/bin/env bash
# Takes the screenshot of the main window that the README shows, or with
# --about the one of the About box that the manual shows:
#   docs/update-screenshot.sh [build/windows/ui/k4471.exe] [docs/main-window.png]
#   docs/update-screenshot.sh --about [build/windows/ui/k4471.exe] [docs/about-box.png]
# Runs the program in a Wine desktop on its own Xvfb, in a throw-away Wine
# prefix that is given Wine's TrueType fonts (without them the caption buttons
# show letters), with the simulated target as COM1 (build/native/sim/k4471-sim,
# or K4471_SIM), and crops the shot to the window with a small margin.
# For the About box the program runs from where the installer puts it, so that
# the box names the manual as a user sees it. Needs wine, Xvfb, ImageMagick and
# xdotool.
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
about=""
if [[ "${1:-}" == --about ]]; then
  about=1
  shift
fi
shot="$repo/docs/${about:+about-box.png}"
[[ -n "$about" ]] || shot="$repo/docs/main-window.png"
program="$(realpath "${1:-$repo/build/windows/ui/k4471.exe}")"
output="$(realpath -m "${2:-$shot}")"
[[ -f "$program" ]] || { echo "no program $program (build the windows preset)" >&2; exit 1; }
sim="${K4471_SIM:-$repo/build/native/sim/k4471-sim}"
[[ -x "$sim" ]] || { echo "no simulated target $sim (build the native preset)" >&2; exit 1; }

work="$(mktemp -d)"
xvfb_pid=""
sim_pid=""
cleanup() {
  WINEPREFIX="$work/prefix" wineserver -k 2>/dev/null || true
  [[ -n "$sim_pid" ]] && kill "$sim_pid" 2>/dev/null
  [[ -n "$xvfb_pid" ]] && kill "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do [[ -s "$work/display" ]] && break; sleep 0.05; done
export DISPLAY=":$(cat "$work/display")" WINEPREFIX="$work/prefix" WINEDEBUG=-all
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"

"$sim" --link "$work/com1" --call-ms 200 >"$work/sim.out" 2>&1 &
sim_pid=$!

wineboot -i >/dev/null 2>&1
wine reg add 'HKEY_LOCAL_MACHINE\Software\Wine\Ports' /v COM1 /t REG_SZ /d "$work/com1" /f \
  >/dev/null 2>&1
wineserver -k
wineserver -w
cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true

if [[ -n "$about" ]]; then
  installed="$WINEPREFIX/drive_c/Program Files/K4471"
  mkdir -p "$installed"
  cp "$program" "$installed/k4471.exe"
  program="$installed/k4471.exe"
fi
wine explorer /desktop=k4471,1024x768 "$program" >/dev/null 2>&1 &
sleep 6
if [[ -z "$about" ]]; then
  # The window stands at (500, 350), 320 x 100 pixels.
  import -window root -crop 336x116+492+342 +repage "$output"
else
  # Alt+a opens the box over the main window; the shot is cropped to the box.
  xdotool key alt+a
  sleep 2
  import -window root "$work/screen.png"
  # The box stands in the middle of the screen: its title bar gives its left,
  # top and width, the middle its height.
  read -r width _ left top < <(convert "$work/screen.png" -fill black +opaque "srgb(50,150,250)" \
    -trim -format '%w %h %X %Y\n' info:)
  margin=8
  x=$((left - 3 - margin))
  y=$((top - 3 - margin))
  convert "$work/screen.png" \
    -crop "$((width + 6 + 2 * margin))x$((2 * (384 - top + 3) + 2 * margin))+$x+$y" +repage "$output"
fi
echo "wrote $output"
