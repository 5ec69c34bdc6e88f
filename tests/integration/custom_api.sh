#!/usr/bin/env bash
# The custom-monitor API client under Wine against devgateway (HTTP with
# faults and plugin archives, HTTPS with its self-signed certificate).
#   custom_api.sh DEVGATEWAY WINE_RUN PROGRAM.exe WORK_FOLDER
set -u
devgateway=$1 wine_run=$2 program=$3 work=$4
[ -x "$devgateway" ] || { echo "no devgateway at $devgateway: build the native-asan preset first" >&2; exit 1; }
rm -rf "$work" && mkdir -p "$work/files"
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY
cat >"$work/jobs.xml" <<'JOBS'
<job><id>11</id><type>Edit_Monitor</type><interval>0</interval><plugin><name>snmp</name></plugin>
  <monitor><id>7</id><runnerFile>SNMPMonitor.exe</runnerFile></monitor></job>
<job><id>99999999999</id><type>run</type><params><command>c.bat</command><pass>pw</pass></params></job>
JOBS
printf 'PK small\n' >"$work/files/small.zip"
head -c 17000000 /dev/zero >"$work/files/big.zip"

"$devgateway" --port 0 --port-file "$work/http.port" --api-key AK --jobs "$work/jobs.xml" --files "$work/files" \
  --api-fault "secretkey #1: http 502" --api-fault "authToken #2: malformed" --api-fault "files #1: hang 8" --api-fault "getJobs #2: hang 58" \
  --seconds 200 >"$work/http.out" 2>&1 &
http=$!
"$devgateway" --port 0 --port-file "$work/https.port" --https --api-key AK --seconds 200 >"$work/https.out" 2>&1 &
https=$!
trap 'kill -TERM $http $https 2>/dev/null; wait $http $https 2>/dev/null' EXIT
for _ in $(seq 100); do [ -s "$work/http.port" ] && [ -s "$work/https.port" ] && break; sleep 0.1; done
export HALVREN_API_HTTP=$(cat "$work/http.port") HALVREN_API_HTTPS=$(cat "$work/https.port")
export WINEDEBUG=-all
# Away from UTC: the API's timestamps must still be UTC.
TZ=America/New_York "$wine_run" --timeout 150 "$program" --gtest_brief=1
rc=$?
kill -TERM $http $https 2>/dev/null; wait $http $https 2>/dev/null
trap - EXIT
echo "--- devgateway"; grep '^api' "$work/http.out"
if ! grep -q 'addAgent, POST, status 200, code 0, timestamp ok' "$work/http.out"; then
  echo "FAIL the token form's timestamp was not UTC"; rc=1
fi
if ! grep -q "headers: .*Mon-Email: 'ops@example.org'" "$work/http.out"; then
  echo "FAIL the request headers did not reach devgateway"; rc=1
fi
exit $rc
