#!/bin/sh
# Runs one end-to-end test whose host is the Windows build under Wine.
#
#   wine_story.sh --make TEMPLATE            makes the Wine prefix TEMPLATE,
#                                            unless it exists (also the
#                                            unit tests' prefix)
#   wine_story.sh TEMPLATE PROGRAM ARGS...   runs PROGRAM with a prefix of its
#                                            own, a copy of TEMPLATE
#
# Wine creates a program's sockets in its wineserver, one per prefix, so a
# Windows program listens and connects in the network namespace in which its
# prefix's wineserver started, whatever namespace the program itself runs in.
# Each test therefore gets a prefix of its own, whose wineserver starts inside
# the test's namespace (run this inside in_netns.sh).  The copy is made of
# hard links, except for the registry files, which are copied: the
# wineserver writes them anew.  KESTRIN_WINE names the Wine loader; the
# wineserver lies beside it.
set -eu
wineserver=$(dirname "$KESTRIN_WINE")/wineserver

if [ "$1" = --make ]; then
  template=$2
  [ -f "$template/system.reg" ] && exit 0
  rm -rf "$template" "$template.new"
  mkdir -p "$(dirname "$template")"
  # Without the .NET and HTML engines, which would be downloaded.
  WINEPREFIX=$template.new WINEDLLOVERRIDES="mscoree,mshtml=" "$KESTRIN_WINE" wineboot --init
  WINEPREFIX=$template.new "$wineserver" --wait
  mv "$template.new" "$template"
  exit 0
fi

template=$1
shift
[ -x "$1" ] || { echo "wine_story.sh: $1 is missing: build the native preset first"; exit 1; }
prefix=$(mktemp -d "$(dirname "$template")/story-XXXXXX")
export WINEPREFIX="$prefix"
cleanup() {
  "$wineserver" --kill 2>/dev/null || true
  # The wineserver's folder of this prefix: a lock file is left in it.
  if [ -f "$prefix/wineserver" ]; then
    rm -rf "/tmp/$(cat "$prefix/wineserver")/server-$(stat -c %D "$prefix")-$(printf %x "$(stat -c %i "$prefix")")"
  fi
  rm -rf "$prefix"
}
trap cleanup EXIT
trap 'exit 143' TERM INT
cp -al "$template/." "$prefix"
cp --remove-destination "$template"/*.reg "$prefix"
# Started by a Windows program, the wineserver would end with it and start
# again, with Wine's own services, for the next; a test may start several.
# It stays until it is killed below, or 30 s after the last Windows program.
# The services start with the first Windows program and keep its standard
# handles: they start here, with none open, rather than with a host whose
# output the test reads to its end.
"$wineserver" --persistent=30
"$KESTRIN_WINE" cmd /c exit </dev/null >/dev/null 2>&1
"$@"
