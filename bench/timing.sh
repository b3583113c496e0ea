# Timing helpers sourced by the benchmark scripts.

# The smallest of the numbers on standard input.
best() { sort -n | head -1; }

# Wall time in seconds of running the command, its output dropped.
seconds() {
    local start end
    start=$(date +%s%N)
    "$@" > /dev/null
    end=$(date +%s%N)
    echo "scale=3; ($end - $start) / 1000000000" | bc
}
