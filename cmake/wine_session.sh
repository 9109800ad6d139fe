#!/bin/sh
# Starts or stops the Wine server of a cross build's tests, with its
# services, apart from any test's standard streams (ctest runs it before and
# after the tests):  wine_session.sh PREFIX WINE WINESERVER start|stop
export WINEPREFIX="$1" WINEDEBUG=-all
case $4 in
start)
  "$3" -p </dev/null >/dev/null 2>&1
  exec "$2" wineboot </dev/null >/dev/null 2>&1 ;;
stop)
  exec "$3" -k ;;
esac
