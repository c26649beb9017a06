#!/usr/bin/env bash
# Measures the worker's media download and archive unpacking against the command-line tools
# in the same run, on loopback: a download of a SIZE_MIB file from nginx over HTTPS through a
# real worker against `curl -o`, and the unpacking of a media-like zip (ARCHIVE_MIB unpacked
# in FILES files, half of them incompressible) through the worker against `bsdtar -x`. Each
# side runs RUNS times; the mean times and their ratios are printed. Not a test.
#
#   bench/webops/run.sh                         uses build/default/bin
#   BIN=build/webops-rel/bin SIZE_MIB=256 ARCHIVE_MIB=256 FILES=1000 bench/webops/run.sh
#
# Needs nginx (nginx-light), curl, openssl, bsdtar (libarchive-tools) and python3. The
# worker unpacks into the user's UNZIP folder (root's, when run as root), emptied afterwards.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
bin=${BIN:-$root/build/default/bin}
size_mib=${SIZE_MIB:-1024}
archive_mib=${ARCHIVE_MIB:-1024}
files=${FILES:-2000}
runs=${RUNS:-3}

for tool in nginx curl openssl bsdtar python3; do
  command -v "$tool" >/dev/null || { echo "run.sh: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
bin=$(cd "$bin" 2>/dev/null && pwd) || { echo "run.sh: no folder ${BIN:-build/default/bin}" >&2; exit 1; }
[ -x "$bin/bench_webops_bench" ] || { echo "run.sh: no $bin/bench_webops_bench (build with -DVL_BUILD_BENCH=ON)" >&2; exit 1; }

work=$(mktemp -d /var/tmp/vl-webops.XXXXXX)
chmod 755 "$work"  # nginx's workers run as another user
nginx_started=0
cleanup() {
  [ $nginx_started -eq 1 ] && kill "$(cat "$work/nginx.pid")" 2>/dev/null
  [ "${KEEP:-0}" = 1 ] && echo "kept $work" || rm -rf "$work"
}
trap cleanup EXIT

# shellcheck source=../lib.sh
. "$here/../lib.sh"

now() { date +%s.%N; }
mean() { python3 -c 'import sys; v=[float(x) for x in sys.argv[1:]]; print("%.3f" % (sum(v)/len(v)))' "$@"; }

echo "== preparing (download ${size_mib} MiB, archive ${archive_mib} MiB in ${files} files) =="
cd "$work"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ca.key \
  -out ca.pem -days 2 -subj /CN=vl-bench-ca 2>/dev/null
openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout serv.key \
  -out serv.csr -subj /CN=localhost 2>/dev/null
printf 'subjectAltName=DNS:localhost\n' > ext.cnf
openssl x509 -req -in serv.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out serv.crt -days 2 \
  -extfile ext.cnf 2>/dev/null
mkdir -p www dl curl-out tree bsdtar-out
head -c $((size_mib * 1048576)) /dev/urandom > www/media.bin
chmod 644 www/media.bin
md5=$(md5sum www/media.bin | cut -d' ' -f1)
# NO_CHECKSUM=1 gives the worker no checksum to check: the transfer path alone.
[ "${NO_CHECKSUM:-0}" = 1 ] && md5=""
port=$(free_port)
cat > nginx.conf <<CONF
worker_processes 2;
pid $work/nginx.pid;
error_log $work/nginx-error.log warn;
events { worker_connections 64; }
http {
    access_log off;
    sendfile on;
    default_type application/octet-stream;
    server {
        listen 127.0.0.1:$port ssl;
        ssl_certificate $work/serv.crt;
        ssl_certificate_key $work/serv.key;
        root $work/www;
    }
}
CONF
nginx -c "$work/nginx.conf" -e "$work/nginx-error.log"
nginx_started=1

# A media-like tree: folders of files, every other one random, the others text.
per_file=$((archive_mib * 1048576 / files))
for ((i = 0; i < files; i++)); do
  folder="tree/L26/1/part$((i % 40))"
  mkdir -p "$folder"
  if ((i % 2)); then
    head -c "$per_file" < <(yes "media content line $i of the product package, compressible text") > "$folder/f$i.dat"
  else
    head -c "$per_file" /dev/urandom > "$folder/f$i.bin"
  fi
done
chmod +x tree/L26/1/part0/f0.bin
bsdtar --format zip -cf media.zip -C tree L26
rm -rf tree
echo "archive: $(du -m media.zip | cut -f1) MiB packed"

# The two sides alternate, each after a sync, so that neither pays for the other's dirty pages.
run_worker() {  # filter, then environment entries
  local filter=$1
  shift
  env "$@" "$bin/bench_webops_bench" --benchmark_filter="$filter" --benchmark_format=json \
    --benchmark_out="$work/run.json" >/dev/null
  python3 -c 'import json,sys; b=json.load(open(sys.argv[1]))["benchmarks"][0]; assert not b.get("error_occurred"), b.get("error_message"); print(b["real_time"]/1000.0)' "$work/run.json"
}
timed() { local start; sync; start=$(now); "$@"; python3 -c "print($(now) - $start)"; }

echo "== download =="
url="https://localhost:$port/media.bin"
curl_times=()
worker_dl_times=()
for ((r = 0; r < runs; r++)); do
  rm -f curl-out/media.bin dl/media.bin
  curl_times+=("$(timed curl -sf --cacert ca.pem -o curl-out/media.bin "$url")")
  rm -f curl-out/media.bin
  sync
  worker_dl_times+=("$(run_worker Download QVYLD_TEST_CA_FILE="$work/ca.pem" VL_BENCH_MEDIA_URL="$url" \
    VL_BENCH_MEDIA_MD5="$md5" VL_BENCH_MEDIA_SIZE=$((size_mib * 1048576)) VL_BENCH_DEST="$work/dl")")
done
rm -f dl/media.bin www/media.bin

echo "== unpacking =="
bsdtar_times=()
worker_unzip_times=()
for ((r = 0; r < runs; r++)); do
  rm -rf bsdtar-out && mkdir bsdtar-out
  bsdtar_times+=("$(timed bsdtar -xf media.zip -C bsdtar-out)")
  rm -rf bsdtar-out
  sync
  worker_unzip_times+=("$(run_worker Unzip VL_BENCH_ARCHIVE="$work/media.zip")")
done

curl_s=$(mean "${curl_times[@]}")
worker_dl_s=$(mean "${worker_dl_times[@]}")
bsdtar_s=$(mean "${bsdtar_times[@]}")
worker_unzip_s=$(mean "${worker_unzip_times[@]}")
python3 - "$size_mib" "$curl_s" "$worker_dl_s" "$archive_mib" "$bsdtar_s" "$worker_unzip_s" <<'PY'
import sys
size, curl, worker, amib, bsdtar, unzip = sys.argv[1:]
size, curl, worker, amib, bsdtar, unzip = int(size), float(curl), float(worker), int(amib), float(bsdtar), float(unzip)
print("download  %5d MiB  curl %7.3f s (%6.0f MiB/s)  worker %7.3f s (%6.0f MiB/s)  throughput ratio worker/curl %.3f"
      % (size, curl, size / curl, worker, size / worker, curl / worker))
print("unpacking %5d MiB  bsdtar %7.3f s  worker %7.3f s  speed ratio worker/bsdtar %.3f"
      % (amib, bsdtar, unzip, bsdtar / unzip))
PY
