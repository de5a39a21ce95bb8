# Sourced by the scripts that run Windows programs under Wine.
# use_wine_server RUN: starts a persistent wine server for the prefix of RUN (a
#   build tree or one of its Wine wrappers, see wine-session.sh),
#   or uses the one already running for it (scripts/wine-session.sh says so,
#   exit 3); fails with wine-session.sh's status otherwise.
# release_wine_server RUN: stops the server if use_wine_server started it.
wine_server_owned=0

use_wine_server() {
  local status=0
  bash "${BASH_SOURCE[0]%/*}/wine-session.sh" start "$1" || status=$?
  case $status in
    0) wine_server_owned=1 ;;
    3) ;;
    *) return "$status" ;;
  esac
}

release_wine_server() {
  if ((wine_server_owned)); then
    wine_server_owned=0
    bash "${BASH_SOURCE[0]%/*}/wine-session.sh" stop "$1"
  fi
}
