# Timing helpers sourced by the benchmark scripts.

# The smallest of the numbers on standard input.
best() { sort -n | head -1; }

# The median of the numbers on standard input.
median() {
    sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# Wall time in seconds of running the command, its output dropped.
seconds() {
    local start end
    start=$(date +%s%N)
    "$@" > /dev/null
    end=$(date +%s%N)
    awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f\n", (e - s) / 1e9 }'
}

# $1 / $2 with two decimals.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f\n", (b > 0) ? a / b : 0 }'; }

# Stops with a message naming the first of the programs that is missing.
need() {
    local tool
    for tool in "$@"; do
        command -v "$tool" > /dev/null || { echo "$0: needs $tool (scripts/setup.sh installs it)" >&2; exit 1; }
    done
}
