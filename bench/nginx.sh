# Sourced by the benchmark scripts: start_nginx DIR starts nginx on a free loopback port
# serving DIR/www, with its configuration and logs in DIR/nginx; it sets nginx, nginx_pid
# and port. The caller kills nginx_pid when it is done. NGINX_EXTRA_LISTEN, when set, is one
# more listen directive of the server (for instance an HTTP/2 port).
start_nginx() {
    local dir=$1 user_line=
    mkdir -p "$dir/nginx"
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    [ "$(id -u)" -eq 0 ] && user_line="user root;"
    cat >"$dir/nginx/nginx.conf" <<CONF
$user_line
worker_processes 1;
pid $dir/nginx/nginx.pid;
error_log $dir/nginx/error.log warn;
events { worker_connections 1024; }
http {
  access_log $dir/nginx/access.log;
  client_body_temp_path $dir/nginx/body;
  proxy_temp_path $dir/nginx/proxy;
  fastcgi_temp_path $dir/nginx/fastcgi;
  uwsgi_temp_path $dir/nginx/uwsgi;
  scgi_temp_path $dir/nginx/scgi;
  sendfile on;
  keepalive_requests 1000000;
  server { listen 127.0.0.1:$port; ${NGINX_EXTRA_LISTEN:-} root $dir/www; }
}
CONF
    nginx=$(command -v nginx || echo /usr/sbin/nginx)
    "$nginx" -p "$dir/nginx" -c "$dir/nginx/nginx.conf" -g 'daemon off;' &
    nginx_pid=$!
    for _ in $(seq 100); do
        curl -s -o /dev/null "http://127.0.0.1:$port/" && return 0
        sleep 0.05
    done
    echo "nginx did not start: $(cat "$dir/nginx/error.log" 2>/dev/null)" >&2
    return 1
}
