// The launcher stubs, x64 and ARM64, carried inside the packer so that one file is all a
// user installs.
#ifdef _WIN32
    .section .rdata,"dr"
#else
    .section .rodata
#endif
    .balign 16
    .globl tavren_embedded_stub
tavren_embedded_stub:
    .incbin "tavren-launcher.exe"
    .globl tavren_embedded_stub_end
tavren_embedded_stub_end:
    .balign 16
    .globl tavren_embedded_stub_arm64
tavren_embedded_stub_arm64:
#ifndef TAVREN_NO_ARM64_STUB
    .incbin "arm64/tavren-launcher.exe"
#endif
    .globl tavren_embedded_stub_arm64_end
tavren_embedded_stub_arm64_end:
#ifndef _WIN32
    .section .note.GNU-stack,"",@progbits
#endif
