// The launcher stub, carried inside the packer so that one file is all a user installs.
    .section .rodata
    .balign 16
    .globl tavren_embedded_stub
tavren_embedded_stub:
    .incbin "tavren-launcher.exe"
    .globl tavren_embedded_stub_end
tavren_embedded_stub_end:
    .section .note.GNU-stack,"",@progbits
