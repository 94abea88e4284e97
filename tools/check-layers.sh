#!/usr/bin/env bash
# Fails when a folder of the program includes a folder of a higher layer.
# Layers from the bottom (a folder may include its own layer and lower ones):
#   0 platform   1 queue timer config power   2 battery lights alarm ui   3 core
# Kernel ABI headers (<linux/fb.h>, <linux/kd.h>, ...) belong to platform/
# backends only; ui/, alarm/, core/, power/ never include them.
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A rank=([platform]=0 [queue]=1 [timer]=1 [config]=1 [power]=1
                 [battery]=2 [lights]=2 [alarm]=2 [ui]=2 [core]=3)
status=0
for folder in "${!rank[@]}"; do
  [ -d "$folder" ] || continue
  while IFS=: read -r file line text; do
    target=$(sed -n 's/^#include "\([a-z_]*\)\/.*/\1/p' <<<"$text")
    [ -n "$target" ] || continue
    if [ -z "${rank[$target]+x}" ]; then
      echo "$file:$line: includes $target/, which is not a layer of the program" >&2
      status=1
    elif [ "${rank[$target]}" -gt "${rank[$folder]}" ]; then
      echo "$file:$line: $folder/ (layer ${rank[$folder]}) includes $target/ (layer ${rank[$target]})" >&2
      status=1
    fi
  done < <(grep -rn --include='*.h' --include='*.cpp' '^#include "' "$folder" || true)
done
# A backend's own headers are for that backend (and host-only tools) alone.
if grep -rn --include='*.h' --include='*.cpp' -E '^#include "platform/(host|linux)/' \
     queue timer config power battery lights alarm ui core 2>/dev/null; then
  echo "program modules include a backend's own header" >&2
  status=1
fi
if grep -rn --include='*.h' --include='*.cpp' -E '^#include <linux/(fb|kd)\.h>' \
     queue timer config power battery lights alarm ui core 2>/dev/null; then
  echo "program modules include kernel device ABI headers; use platform/display.h" >&2
  status=1
fi
[ "$status" -eq 0 ] && echo "layers: ok"
exit "$status"
