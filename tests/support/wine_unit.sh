#!/bin/sh
# The Wine prefix in which the unit tests of the Windows build run side by
# side, and its wineserver.
#
#   wine_unit.sh start PREFIX   makes PREFIX unless it exists and starts its
#                               wineserver
#   wine_unit.sh stop PREFIX    stops that wineserver
#
# Wine makes a missing prefix on first use, and a wineserver ends a moment
# after its last program: a program started meanwhile may meet the server
# going away ("wine client error:0: recvmsg: Connection reset by peer").  One
# wineserver made ready before the first test and kept until the last has
# ended leaves no such moment.  It ends by itself a minute after its last
# program if the run is cut short.  KESTRIN_WINE names the Wine loader; the
# wineserver lies beside it.
set -eu
wineserver=$(dirname "$KESTRIN_WINE")/wineserver
export WINEPREFIX="$2"
case $1 in
start)
  "$(dirname "$0")/../e2e/wine_story.sh" --make "$WINEPREFIX"
  # The wineserver, and Wine's services, which start with the first Windows
  # program and keep its standard handles, start here with none of the
  # output that ctest reads to its end.
  "$wineserver" --persistent=60 </dev/null >/dev/null 2>&1
  "$KESTRIN_WINE" cmd /c exit </dev/null >/dev/null 2>&1
  ;;
stop)
  "$wineserver" --kill || true  # already gone: nothing to stop
  ;;
esac
