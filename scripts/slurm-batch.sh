#!/usr/bin/env bash
# Runs a batch file on a Slurm cluster:
#
#   scripts/slurm-batch.sh IN OUT [SHARDS]
#
# Splits IN into SHARDS (default 4) consecutive pieces, submits one Slurm
# array job whose task i runs `tessimar-exec --batch` on piece i with its own
# --out, waits for it, and writes OUT: the same lines, in the same order, as
# `tessimar-exec --batch IN` on one machine.
#
# The pieces and their outputs live in OUT.shards/, which every node must
# see (a shared file system), as must the runner: $TESSIMAR_EXEC when set,
# else tessimar-exec from PATH. Slurm's own SBATCH_* variables (partition,
# account, time limit...) apply to the submission.
#
# When a task fails or is cancelled, the script names the incomplete pieces
# and exits 1; running it again with the same arguments runs only what is
# missing. Exit status: 0 done, 1 incomplete, 2 usage or setup error.
set -euo pipefail

usage() { echo "usage: $0 IN OUT [SHARDS]" >&2; exit 2; }
[ $# -ge 2 ] && [ $# -le 3 ] || usage
in=$1
out=$2
shards=${3:-4}
case $shards in '' | *[!0-9]* | 0*) echo "$0: SHARDS must be a whole number from 1" >&2; exit 2 ;; esac
[ -f "$in" ] && [ -r "$in" ] || { echo "$0: cannot read $in" >&2; exit 2; }

exe=${TESSIMAR_EXEC:-$(command -v tessimar-exec || true)}
[ -n "$exe" ] && [ -x "$exe" ] || { echo "$0: no runner: set TESSIMAR_EXEC or put tessimar-exec on PATH" >&2; exit 2; }
exe=$(realpath -- "$exe")
command -v sbatch >/dev/null || { echo "$0: sbatch not found" >&2; exit 2; }

dir=$(realpath -m -- "$out").shards
mkdir -p -- "$dir"
sum=$(sha256sum < "$in" | cut -d' ' -f1)

# Lines of a file, a last line without a line feed included.
count_lines() { awk 'END { print NR }' "$1"; }

if [ -f "$dir/input.sha256" ]; then
  # A second run: the pieces and their outputs are reused.
  if [ "$(cat "$dir/input.sha256")" != "$sum" ] || [ "$(cat "$dir/shards")" != "$shards" ]; then
    echo "$0: $dir belongs to another input or shard count; remove it to start over" >&2
    exit 2
  fi
else
  rm -f -- "$dir"/piece-* "$dir"/first-* "$dir"/out-*
  # Consecutive pieces of whole lines, byte for byte, each with the number
  # of its first line in IN.
  total=$(count_lines "$in")
  size=$(( (total + shards - 1) / shards ))
  [ "$size" -ge 1 ] || size=1
  split -l "$size" -d -a 8 -- "$in" "$dir/split-"
  for ((i = 0; i < shards; i++)); do
    piece=$(printf '%s/split-%08d' "$dir" "$i")
    if [ -f "$piece" ]; then mv -- "$piece" "$dir/piece-$i"; else : > "$dir/piece-$i"; fi
    echo $(( i * size + 1 )) > "$dir/first-$i"
  done
  echo "$shards" > "$dir/shards"
  echo "$sum" > "$dir/input.sha256"
fi

# The pieces whose output is not complete yet.
missing() {
  local i
  for ((i = 0; i < shards; i++)); do
    local want have=0
    want=$(count_lines "$dir/piece-$i")
    [ -f "$dir/out-$i" ] && have=$(count_lines "$dir/out-$i")
    [ "$have" -eq "$want" ] || printf '%s\n' "$i"
  done
}

todo=$(missing | paste -sd, -)
if [ -n "$todo" ]; then
  {
    echo '#!/usr/bin/env bash'
    echo 'i=$SLURM_ARRAY_TASK_ID'
    printf 'd=%q\n' "$dir"
    printf 'exec %q --batch "$d/piece-$i" --first-line "$(cat "$d/first-$i")" --out "$d/out-$i"\n' "$exe"
  } > "$dir/task.sh"
  chmod +x "$dir/task.sh"
  echo "submitting pieces $todo of $shards" >&2
  sbatch --wait --parsable --job-name=tessimar-batch --array="$todo" \
    --output="$dir/task-%a.log" "$dir/task.sh" >/dev/null || true
fi

left=$(missing | paste -sd' ' -)
if [ -n "$left" ]; then
  echo "$0: incomplete pieces: $left (logs in $dir/task-N.log); run again to finish them" >&2
  exit 1
fi
for ((i = 0; i < shards; i++)); do cat -- "$dir/out-$i"; done > "$out.part"
mv -- "$out.part" "$out"
