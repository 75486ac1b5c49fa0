#!/usr/bin/env bash
# Fails when a file outside src/platform includes an operating-system header.
root=${1:-.}
bad=$(grep -rnE '#include *<(sys/|unistd\.h|netinet/|arpa/|netdb\.h|fcntl\.h|poll\.h|pthread\.h|signal\.h|dirent\.h|execinfo\.h|dlfcn\.h|spawn\.h|termios\.h|errno\.h|cerrno|csignal|time\.h|ctime|malloc\.h|windows\.h|winsock2\.h|ws2tcpip\.h|bcrypt\.h|dbghelp\.h|io\.h)' \
  "$root/src" "$root/tools" 2>/dev/null | grep -v "^$root/src/platform/")
if [ -n "$bad" ]; then
  echo "system headers outside src/platform:"; echo "$bad"; exit 1
fi
echo "ok: system headers only in src/platform"
