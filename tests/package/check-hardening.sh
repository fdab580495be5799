#!/bin/sh
# Fails unless the binary carries the hardening that Debian gives its
# packages. Usage: check-hardening.sh BINARY FORTIFIED(1|0)
#
# The compile switches come from .GCC.command.line, one line per distinct
# compilation, so a single file built without a switch shows up. What the
# linker decided (PIE, RELRO, immediate binding) and what the code really
# calls (stack protector and fortified functions) come from the ELF itself.
set -eu
binary=$1
fortified=$2
failures=0
missing() { echo "missing: $*"; failures=$((failures + 1)); }

switches=$(readelf -p .GCC.command.line "$binary" 2>/dev/null | sed -n 's/^ *\[ *[0-9a-f]*\] *//p')
[ -n "$switches" ] || missing "recorded compile switches (.GCC.command.line)"

case $(readelf -h "$binary" | sed -n 's/^ *Machine: *//p') in
    *X86-64* | *80386*) control_flow=-fcf-protection ;;
    *AArch64*) control_flow=-mbranch-protection=standard ;;
    *) control_flow= ;;
esac
for switch in -fstack-protector-strong -fstack-clash-protection $control_flow; do
    printf '%s\n' "$switches" | while IFS= read -r line; do
        case " $line " in
            *" $switch"[=\ ]*) ;;
            *) echo "$line" ;;
        esac
    done | grep -q . && missing "$switch in: $(printf '%s\n' "$switches" | grep -v -e "$switch" | head -n 1)"
done

headers=$(readelf -hlW "$binary")
dynamic=$(readelf -dW "$binary")
imports=$(readelf --dyn-syms -W "$binary")
printf '%s\n' "$headers" | grep -q 'Type: *DYN' || missing "position-independent executable (ELF type DYN)"
printf '%s\n' "$dynamic" | grep -q 'FLAGS_1.*PIE' || missing "PIE flag"
printf '%s\n' "$headers" | grep -q 'GNU_RELRO' || missing "RELRO segment"
printf '%s\n' "$dynamic" | grep -Eq 'BIND_NOW|FLAGS_1.* NOW' || missing "immediate binding (BIND_NOW)"
printf '%s\n' "$imports" | grep -q ' UND __stack_chk_fail' || missing "stack protector calls (__stack_chk_fail)"
if [ "$fortified" = 1 ]; then
    printf '%s\n' "$imports" | grep -Eq ' UND __[a-z0-9_]+_chk@' || missing "fortified calls (__*_chk)"
fi

[ "$failures" -eq 0 ] && echo "hardened: $binary"
exit "$failures"
