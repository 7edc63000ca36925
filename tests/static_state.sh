#!/usr/bin/env bash
# The libraries hold no mutable state of the project's own: no symbol of
# twolocus in a writable data section (.data, .bss, .tdata, .tbss and their
# parts, but .data.rel.ro, which is read-only once relocated). Only the
# standard library's own objects (std::__ioinit), the compiler's
# exception references and the address sanitizer's one-definition markers
# (__odr_asan.*, one byte per global that its runtime writes) may be there.
#   tests/static_state.sh LIBRARY...
set -u
found=0
for library in "$@"; do
  hits=$(objdump -t "$library" |
    awk '$0 ~ /[[:space:]]\.(data|bss|tdata|tbss)(\.[^[:space:]]*)?[[:space:]]/ && $0 !~ /\.data\.rel\.ro/ && $NF !~ /^\./' |
    grep -v -e 'DW\.ref\.' -e '_ZStL8__ioinit' -e '_ZSt' -e '_ZNSt' -e '_ZGVNSt' -e '_ZN5boost' -e '_ZN3r123' -e '__odr_asan\.' |
    c++filt)
  if [ -n "$hits" ]; then
    echo "$library holds mutable data:"
    echo "$hits"
    found=1
  fi
done
exit $found
