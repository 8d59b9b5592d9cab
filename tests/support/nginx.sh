# One nginx on 127.0.0.1 for the download tests, with all its files under one folder.
#   free_port                      prints a port nothing listens on
#   start_nginx DIR PORT ROOT [ACCESS_LOG] [SERVER_DIRECTIVES]
#     writes DIR/nginx.conf serving ROOT on PORT (access log ACCESS_LOG, default off),
#     starts nginx in the background, sets `nginx` to its process id (stop it with
#     SIGQUIT) and returns once it accepts connections, or 1 after 15 s.

free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

start_nginx() {
  local dir=$1 port=$2 root=$3 access=${4:-off} extra=${5:-}
  mkdir -p "$dir/tmp"
  cat >"$dir/nginx.conf" <<CONF
daemon off; master_process off; worker_processes 1;
pid $dir/nginx.pid; error_log $dir/error.log warn;
events { worker_connections 64; }
http { access_log $access;
  client_body_temp_path $dir/tmp/body; proxy_temp_path $dir/tmp/proxy;
  fastcgi_temp_path $dir/tmp/fastcgi; uwsgi_temp_path $dir/tmp/uwsgi;
  scgi_temp_path $dir/tmp/scgi;
  default_type application/octet-stream; sendfile on; tcp_nopush on;
  server { listen 127.0.0.1:$port; root $root; $extra } }
CONF
  /usr/sbin/nginx -p "$dir" -c "$dir/nginx.conf" >"$dir/out" 2>&1 &
  nginx=$!
  local _
  for _ in $(seq 150); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}
