#!/bin/sh
# Starts or stops the Wine server of a cross build's tests, with its
# services, apart from any test's standard streams (ctest runs it before and
# after the tests):  wine_session.sh PREFIX WINE WINESERVER start|stop
export WINEPREFIX="$1" WINEDEBUG=-all
case $4 in
start)
  # A server may still be running from the build (test discovery, the
  # prefix): the tests' first programs must not meet it as it shuts down, so
  # it is ended, and waited for, before the tests' own server starts.
  "$3" -k </dev/null >/dev/null 2>&1
  "$3" -w </dev/null >/dev/null 2>&1
  "$3" -p </dev/null >/dev/null 2>&1
  exec "$2" wineboot </dev/null >/dev/null 2>&1 ;;
stop)
  exec "$3" -k ;;
esac
