// The launcher stub, carried inside the packer so that one file is all a user installs.
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
#ifndef _WIN32
    .section .note.GNU-stack,"",@progbits
#endif
