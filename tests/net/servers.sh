#!/usr/bin/env bash
# The servers of the transfer tests, on 127.0.0.1 at free ports under DIR: nginx (over
# http, and over https with a self-signed certificate) and vsftpd serving DIR/www,
# ftp_reset_server.py (an FTP server that resets the control connection at its first
# RETR) serving the same, and tinyproxy, an HTTP proxy.
#   servers.sh start DIR   starts them, writes DIR/{http,https,ftp,reset,proxy}.port once
#                          each accepts connections, and their process ids to DIR/pids
#   servers.sh stop DIR    stops them by those ids and removes DIR
# Every server's output goes to files under DIR, so none holds the caller's output open.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
command=$1
dir=$2

free_port() {
  /usr/bin/python3 -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])'
}

# A server needs a moment after it starts; a busy port makes it exit instead.
wait_for_port() {
  local deadline=$((SECONDS + 15))
  while ((SECONDS < deadline)); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then
      return 0
    fi
    sleep 0.02
  done
  echo "servers.sh: nothing listens on port $1" >&2
  return 1
}

# Whether the process runs; a stopped one stays a zombie until whoever adopted it reaps it.
running() {
  local stat
  read -r stat 2>/dev/null <"/proc/$1/stat" || return 1
  stat=${stat##*) }
  [[ $stat != Z* ]]
}

# Whether the process is one of these servers: its command line names DIR (an id
# recorded long ago may belong to another process by now).
serves_here() {
  grep -qaF -- "$dir" "/proc/$1/cmdline" 2>/dev/null
}

stop() {
  if [ -f "$dir/pids" ]; then
    stop_recorded
  fi
  rm -rf "$dir"
}

stop_recorded() {
  local pid signal
  while read -r pid signal; do
    if serves_here "$pid"; then
      kill "-$signal" "$pid" 2>/dev/null || true
    fi
  done <"$dir/pids"
  # They are not this shell's children: wait until each is gone.
  while read -r pid signal; do
    local deadline=$((SECONDS + 10))
    while running "$pid" && ((SECONDS < deadline)); do
      sleep 0.02
    done
    if running "$pid" && serves_here "$pid"; then
      kill -KILL "$pid" 2>/dev/null || true
    fi
  done <"$dir/pids"
}

start() {
  # Servers left by a run that never stopped them go first.
  stop
  mkdir -p "$dir/www" "$dir/nginx/tmp" "$dir/ftp/empty" "$dir/reset" "$dir/proxy"
  # vsftpd serves anonymous users as another user, who must reach the files.
  chmod 755 "$dir" "$dir/www"
  : >"$dir/pids"

  local http https ftp passive proxy
  http=$(free_port)
  https=$(free_port)
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -subj /CN=127.0.0.1 -keyout "$dir/nginx/key.pem" -out "$dir/nginx/cert.pem" \
    >"$dir/nginx/openssl.out" 2>&1
  cat >"$dir/nginx/nginx.conf" <<CONF
daemon off; master_process off; worker_processes 1;
pid $dir/nginx/nginx.pid; error_log $dir/nginx/error.log warn;
events { worker_connections 64; }
http { log_format probe '\$request \$status [\$http_range] [\$http_pragma] [\$http_cache_control]';
  access_log $dir/nginx/access.log probe;
  client_body_temp_path $dir/nginx/tmp/body; proxy_temp_path $dir/nginx/tmp/proxy;
  fastcgi_temp_path $dir/nginx/tmp/fastcgi; uwsgi_temp_path $dir/nginx/tmp/uwsgi;
  scgi_temp_path $dir/nginx/tmp/scgi;
  default_type application/octet-stream; sendfile on; tcp_nopush on;
  server { listen 127.0.0.1:$http; root $dir/www; }
  # Each refused handshake is an info line of its own log.
  server { listen 127.0.0.1:$https ssl; root $dir/www;
    ssl_certificate $dir/nginx/cert.pem; ssl_certificate_key $dir/nginx/key.pem;
    error_log $dir/nginx/https-error.log info; } }
CONF
  /usr/sbin/nginx -p "$dir/nginx" -c "$dir/nginx/nginx.conf" </dev/null >"$dir/nginx/nginx.out" 2>&1 &
  echo "$! TERM" >>"$dir/pids"

  ftp=$(free_port)
  passive=$(free_port)
  cat >"$dir/ftp/vsftpd.conf" <<CONF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$ftp
background=NO
anonymous_enable=YES
no_anon_password=YES
anon_root=$dir/www
local_enable=NO
write_enable=NO
pasv_enable=YES
pasv_address=127.0.0.1
pasv_min_port=$passive
pasv_max_port=$((passive + 20))
secure_chroot_dir=$dir/ftp/empty
xferlog_enable=YES
xferlog_std_format=NO
vsftpd_log_file=$dir/ftp/vsftpd.log
log_ftp_protocol=YES
CONF
  /usr/sbin/vsftpd "$dir/ftp/vsftpd.conf" </dev/null >"$dir/ftp/vsftpd.out" 2>&1 &
  echo "$! TERM" >>"$dir/pids"

  proxy=$(free_port)
  cat >"$dir/proxy/tinyproxy.conf" <<CONF
Port $proxy
Listen 127.0.0.1
Allow 127.0.0.1
Timeout 30
MaxClients 16
LogLevel Info
LogFile "$dir/proxy/tinyproxy.log"
CONF
  /usr/bin/tinyproxy -d -c "$dir/proxy/tinyproxy.conf" </dev/null >"$dir/proxy/tinyproxy.out" 2>&1 &
  echo "$! TERM" >>"$dir/pids"

  /usr/bin/python3 "$here/ftp_reset_server.py" "$dir/www" "$dir/reset/port" \
    "$dir/reset/commands.log" </dev/null >"$dir/reset/server.out" 2>&1 &
  echo "$! TERM" >>"$dir/pids"

  wait_for_port "$http"
  echo "$http" >"$dir/http.port"
  wait_for_port "$https"
  echo "$https" >"$dir/https.port"
  wait_for_port "$proxy"
  echo "$proxy" >"$dir/proxy.port"
  wait_for_port "$ftp"
  echo "$ftp" >"$dir/ftp.port"
  local deadline=$((SECONDS + 15))
  while [ ! -s "$dir/reset/port" ] && ((SECONDS < deadline)); do
    sleep 0.02
  done
  wait_for_port "$(cat "$dir/reset/port")"
  cp "$dir/reset/port" "$dir/reset.port"
}

case "$command" in
  start) start ;;
  stop) stop ;;
  *)
    echo "usage: servers.sh start|stop DIR" >&2
    exit 2
    ;;
esac
