# Sourced by the benchmarks: other heavy work on this machine (fuzzing)
# waits while /tmp/velmora-bench.lock exists. The benchmark that made it
# removes it when it ends.
lock=/tmp/velmora-bench.lock
if [ ! -e "$lock" ]; then
  touch "$lock"
  trap 'rm -f "$lock"' EXIT
fi
