# Sourced by the scripts that measure a built voka-host. host_under_test "$@"
# reads the option -b BUILD_DIR (default build/release; another option prints
# the script's usage line and stops with 2) and sets: $build, $args (the other
# arguments), $host (the program; stops with 1 when it is not built) and $dir
# (a new scratch folder under build/ named after the script: the caller
# removes it, in its own EXIT trap).
host_under_test() {
  local opt OPTIND=1 name=${0##*/}
  build=build/release
  while getopts b: opt; do
    case $opt in
      b) build=$OPTARG ;;
      *) grep -m1 '^# Usage:' "$0"; exit 2 ;;
    esac
  done
  shift $((OPTIND - 1))
  args=("$@")
  host=$PWD/$build/voka-host
  [[ -x $host ]] || { echo "no $host: build it first (cmake --build --preset release --target voka-host voka)" >&2; exit 1; }
  dir=$(mktemp -d "$PWD/build/${name%.sh}.XXXXXX")
}
