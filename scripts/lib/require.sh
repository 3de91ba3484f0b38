# Sourced by the scripts in scripts/. require COMMAND:PACKAGE... returns when
# every COMMAND (a name on PATH, or an absolute path) is there; otherwise it
# names the missing ones with the Debian package of each and stops the script
# with status 2. scripts/install-deps.sh installs every package named here.
require() {
  local pair list=
  for pair in "$@"; do
    command -v "${pair%%:*}" >/dev/null || list+="${list:+, }${pair%%:*} (Debian package ${pair#*:})"
  done
  [[ -z $list ]] && return 0
  echo "${0##*/}: missing $list; scripts/install-deps.sh installs them (as root)" >&2
  exit 2
}
