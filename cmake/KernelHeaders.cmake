# velmora_kernel_headers(<dir> <release>): writes the headers a kernel build
# generates for a release (linux/version.h, linux/utsrelease.h,
# linux/autoconf.h) under <dir>/linux.
function(velmora_kernel_headers dir release)
  velmora_kernel_release("${release}" REL)
  if(REL_SMP)
    set(smp_define "#define CONFIG_SMP 1")
  else()
    set(smp_define "/* uniprocessor kernel: CONFIG_SMP is not set */")
  endif()
  file(GENERATE OUTPUT "${dir}/linux/version.h" CONTENT "\
#define LINUX_VERSION_CODE ${REL_CODE}
#define KERNEL_VERSION(a, b, c) (((a) << 16) + ((b) << 8) + (c))
")
  file(GENERATE OUTPUT "${dir}/linux/utsrelease.h" CONTENT "\
#define UTS_RELEASE \"${release}\"
")
  file(GENERATE OUTPUT "${dir}/linux/autoconf.h" CONTENT "\
#define CONFIG_X86_64 1
#define CONFIG_MODULE_UNLOAD 1
${smp_define}
")
endfunction()
