#!/usr/bin/env bash
# Checks the Debian package as apt installed it on this machine: the helper
# on PATH answers, man finds its page, and the Node.js client where Debian
# keeps Node.js modules lists with that helper, through require() from any
# folder and through import once a project has linked it (npm, offline).
# Meant for a throwaway machine or tree (it needs the package installed);
# scripts/test-debian13.sh runs it.
set -euo pipefail
fail() { echo "FAIL: $*"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

status=$(dpkg-query -W -f='${Status} ${Version}' tarvo-eimza-helper)
[[ $status == "install ok installed "* ]] || fail "the package is not installed: $status"
version=${status##* }
[ "$(command -v tarvo-eimza-helper)" = /usr/bin/tarvo-eimza-helper ] || fail "tarvo-eimza-helper is not /usr/bin's"
[ "$(tarvo-eimza-helper --version)" = "tarvo-eimza-helper $version" ] || fail "--version: $(tarvo-eimza-helper --version)"
[ "$(man -w tarvo-eimza-helper)" = /usr/share/man/man1/tarvo-eimza-helper.1.gz ] || fail "man finds $(man -w tarvo-eimza-helper)"

# No store and no card module here: the installed helper's answer is the
# missing module's warning beside an empty list.
expected='{"certificates":[],"warning":"Kütüphane yüklenemedi: /usr/lib/libakisp11.so"}'
script='.then(({ certificates, warning }) => console.log(JSON.stringify({ certificates, warning })))'
mkdir -p "$work/home" "$work/plain" "$work/robot"
export HOME=$work/home npm_config_cache=$work/npm-cache npm_config_update_notifier=false
cd "$work/plain"
answer=$(node -e "
  const client = require('@tarvo/eimza-helper');
  if (require.resolve('@tarvo/eimza-helper') !== '/usr/share/nodejs/@tarvo/eimza-helper/index.js') throw new Error(require.resolve('@tarvo/eimza-helper'));
  client.list()$script;")
[ "$answer" = "$expected" ] || fail "require() from any folder answered: $answer"

cd "$work/robot"
printf '{"name":"robot","version":"1.0.0","private":true,"type":"module"}\n' > package.json
npm install --offline --no-audit --no-fund /usr/share/nodejs/@tarvo/eimza-helper >/dev/null 2>"$work/npm.log" ||
    fail "npm install of the installed client: $(cat "$work/npm.log")"
printf "import { list } from '@tarvo/eimza-helper';\nlist()%s;\n" "$script" > robot.js
answer=$(node robot.js)
[ "$answer" = "$expected" ] || fail "import in a project that linked the client answered: $answer"
echo "installed package $version: the helper, its manual page, and the Node.js client through require() and import checked"
