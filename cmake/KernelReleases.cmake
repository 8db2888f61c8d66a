# The kernel releases the module is built for. Each entry: release string, then
# "smp" or "up". The release fixes LINUX_VERSION_CODE and the interface forms that
# the stand-in's headers select with it.
set(VELMORA_SUPPORTED_RELEASES
    "2.6.12-1.1372_FC3;up"
    "2.6.12-1.1372_FC3smp;smp"
    "2.6.12-1.1381_FC3smp;smp"
    "2.6.17-1.2142_FC4;up"
    "2.6.17-1.2142_FC4smp;smp"
    "2.6.18-1.2200.fc5;smp"
    "2.6.19-1.2288.fc5;smp"
    "2.6.19-1.2288.2.1.fc5;smp"
    "2.6.20-1.2300.fc5;smp"
    "2.6.20-1.2307.fc5;smp"
    "2.6.20-1.2320.fc5;smp"
    "2.6.20-1.2320.fc5debug;smp"
    "2.6.20-1.2320.fc5kdump;up"
    "2.6.20-1.2320.fc5xen;smp"
    "2.6.20-1.3002.fc6xen;smp"
    "2.6.20-2925.9.fc7xen;smp"
    "2.6.21-1.3194.fc7;smp"
    "2.6.21-1.3194.fc7debug;smp"
    "2.6.21-1.3194.fc7kdump;up"
    "2.6.21.7-3.fc8xen;smp"
    "2.6.22.4-45.fc6;smp"
    "2.6.22.9-61.fc6debug;smp"
    "2.6.23.14-107.fc8;smp"
    "2.6.23.15-137.fc8debug;smp"
    "2.6.24.3-34.fc8;smp"
    "2.6.25-14.fc9.x86_64;smp"
    "2.6.25.3-2.fc9.x86_64.xen;up"
    "2.6.25.14-69.fc8;smp"
    "2.6.26.8-57.fc8;smp"
    "2.6.27.5-117.fc10.x86_64;smp"
    "2.6.27.12-170.2.5.fc10.x86_64;smp"
    "2.6.27.21-170.2.56.fc10.x86_64;smp"
    "2.6.27.29-170.2.79.fc10.x86_64;smp"
    "2.6.29.4-167.fc11.x86_64;smp"
    "2.6.29.6-217.2.8.fc11.x86_64;smp"
    "2.6.30.8-64.fc11.x86_64;smp"
    "2.6.30.9-102.fc11.x86_64;smp")

# velmora_kernel_release(<release> <out-prefix>): sets <out-prefix>_CODE (the
# LINUX_VERSION_CODE), _SUBLEVEL and _SMP (1 or 0); fails on an unknown release.
function(velmora_kernel_release release prefix)
  # Each quoted "release;flavour" entry becomes two list items.
  set(found "")
  list(LENGTH VELMORA_SUPPORTED_RELEASES n)
  math(EXPR last "${n} - 1")
  foreach(i RANGE 0 ${last} 2)
    list(GET VELMORA_SUPPORTED_RELEASES ${i} rel)
    math(EXPR j "${i} + 1")
    list(GET VELMORA_SUPPORTED_RELEASES ${j} flavour)
    if(rel STREQUAL release)
      set(found "${flavour}")
    endif()
  endforeach()
  if(found STREQUAL "")
    message(FATAL_ERROR "Unsupported kernel release '${release}'. See the README for the list.")
  endif()
  if(NOT release MATCHES "^2\\.6\\.([0-9]+)")
    message(FATAL_ERROR "Cannot read the version of '${release}'")
  endif()
  set(sub "${CMAKE_MATCH_1}")
  math(EXPR code "(2 << 16) + (6 << 8) + ${sub}")
  set(${prefix}_CODE "${code}" PARENT_SCOPE)
  set(${prefix}_SUBLEVEL "${sub}" PARENT_SCOPE)
  if(found STREQUAL "smp")
    set(${prefix}_SMP 1 PARENT_SCOPE)
  else()
    set(${prefix}_SMP 0 PARENT_SCOPE)
  endif()
endfunction()
