# Reading ovtransfer.inf in the tests (sourced). Independent of the packaging script's reader,
# so that a fault in one is caught by the other.

# inf_files INF: the file names under [Add.Code], in order.
inf_files() {
  tr -d '\r' < "$1" | awk '
    /^[ \t]*(;|$)/ { next }
    /^\[/ { section = tolower($0); next }
    section == "[add.code]" { name = $0; sub(/=.*/, "", name); gsub(/[ \t]/, "", name); print name }'
}

# inf_value INF SECTION KEY: the value of KEY in [SECTION] (names compared without case).
inf_value() {
  tr -d '\r' < "$1" | awk -v section="[$(tr 'A-Z' 'a-z' <<<"$2")]" -v key="$(tr 'A-Z' 'a-z' <<<"$3")" '
    /^[ \t]*(;|$)/ { next }
    /^\[/ { inside = (tolower($0) == section); next }
    inside {
      k = $0; sub(/=.*/, "", k); gsub(/[ \t]/, "", k)
      if (tolower(k) == key) { v = $0; sub(/^[^=]*=[ \t]*/, "", v); sub(/[ \t]+$/, "", v); print v; exit }
    }'
}

fails() { ! "$@"; }
check() { if ! "$@"; then echo "FAILED: $*" >&2; failures=$((failures + 1)); fi; }
failures=0
