#!/bin/sh
# scripts/check-gpu against stand-ins for nvidia-smi and quillon-state capture: nothing checked
# without nvidia-smi, agreement, and each kind of disagreement reported with status 1.
# Usage: check_gpu_test.sh CHECK_GPU
set -u
check=$1 failures=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
# nvidia-smi prints $work/list for -L and $work/query for --query-gpu.
cat >"$work/bin/nvidia-smi" <<SMI
#!/bin/sh
[ "\$1" = -L ] && exec cat "$work/list"
exec cat "$work/query"
SMI
# The capture prints $work/capture once it was asked for the GPUs nvidia-smi lists.
cat >"$work/capture" <<STATE
#!/bin/sh
[ "\$*" = "capture --expect-gpus 2" ] || { echo "asked: \$*" >&2; exit 2; }
cat "$work/document"; exit 1
STATE
chmod +x "$work/bin/nvidia-smi" "$work/capture"
printf 'GPU 0: Fake A100 (UUID: GPU-0a)\nGPU 1: Fake T4 (UUID: GPU-1b)\n' >"$work/list"
gpu() {  # ID UUID NAME BYTES
  printf '{"id":"device:n/%s","status":"captured","diagnostic":"","observation":{"observed":' "$1"
  printf '{"attributes":{"uuid":"%s","name":"%s","memory_total_bytes":"%s"}}}}' "$2" "$3" "$4"
}
expect() {  # STATUS WANTED-LINE QUERY-OUTPUT SECOND-GPU
  printf '%s' "$3" >"$work/query"
  printf '{"subjects":[%s,%s,{"id":"host:n/n","status":"missing"}]}' \
    "$(gpu gpu0 GPU-0a 'Fake A100' 85899345920)" "$4" >"$work/document"
  output=$(PATH="$work/bin:$PATH" "$check" "$work/capture" 2>&1)
  status=$?
  [ "$status" = "$1" ] && printf '%s\n' "$output" | grep -qxF -- "$2" && return
  echo "want status $1 and the line '$2'; got status $status:" && printf '%s\n' "$output"
  failures=$((failures + 1))
}
agree="$(gpu gpu1 GPU-1b 'Fake T4' 16106127360)"
query='0, GPU-0a, Fake A100, 81920
1, GPU-1b, Fake T4, 15360
'
output=$(PATH="$work/nowhere" /bin/bash "$check" "$work/capture")
[ $? = 0 ] && [ "$output" = "check-gpu: no nvidia-smi on this machine, so no NVIDIA GPU to check: nothing checked" ] ||
  { echo "without nvidia-smi: $output"; failures=$((failures + 1)); }
expect 0 "check-gpu: 2 GPUs, uuid, name and memory agree with nvidia-smi" "$query" "$agree"
expect 1 "< gpu1 uuid=GPU-1b name=Fake T4 memory_mib=15359" "$query" \
  "$(gpu gpu1 GPU-1b 'Fake T4' 16106127359)"
expect 1 "< gpu1 missing: 1 of 2 expected GPUs visible" "$query" \
  '{"id":"device:n/gpu1","status":"missing","diagnostic":"1 of 2 expected GPUs visible"}'
expect 1 "> gpu1 uuid=GPU-1c name=Fake T4 memory_mib=15360" "$(printf '%s' "$query" | sed 's/1b/1c/')" \
  "$agree"
exit "$failures"
