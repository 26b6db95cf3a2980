# Sourced by every end-to-end script, as `source "$(dirname "$0")/lib/common.bash" "$@"`: the
# arguments (orxhost and browser.so), failures collected by err, a fresh ORXHOST_HOME removed at the
# end, and run: orxhost with the module, cut after E2E_TIMEOUT seconds so that a hang fails.
host=$1
module=$2
fail=0
err() { echo "FAIL: $*" >&2; fail=1; }

home=$(mktemp -d)
trap 'chmod -R u+w "$home" 2>/dev/null; rm -rf "$home"' EXIT
export ORXHOST_HOME="$home"
run() { timeout "${E2E_TIMEOUT:-120}" "$host" --module "$module" "$@"; }
