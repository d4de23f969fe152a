# A partition boot sector for boot tests: says on the first serial port that it was reached and
# which table entry SI pointed at ("partition boot sector reached from entry N"), then ends the
# virtual machine through its debug exit port. Interrupts stay off: the BIOS copies its screen to
# the same port from its timer interrupt, and a tick in the middle of the report would put the
# last of its own text ("Booting from Hard Disk...") inside it.
        .code16
        .text
        .set SERIAL, 0x3f8
        .set EXIT_PORT, 0xf4
        .set LOADED, 0x7c00
        .set TABLE, 0x07be              # first entry of the boot record's moved copy

start:
        cli
        movw    %si, %bp
        xorw    %ax, %ax
        movw    %ax, %ds
        movw    $SERIAL, %dx
        movw    $(text - start + LOADED), %si
print:
        lodsb
        testb   %al, %al
        jz      entry
        outb    %al, %dx
        jmp     print
entry:
        movw    %bp, %ax
        subw    $TABLE, %ax
        shrw    $4, %ax
        addb    $'1', %al
        outb    %al, %dx
        movb    $'\n', %al
        outb    %al, %dx
        movw    $EXIT_PORT, %dx
        movb    $0x10, %al
        outb    %al, %dx
halt:
        hlt
        jmp     halt

text:
        .asciz  "partition boot sector reached from entry "
        .org    510
        .byte   0x55, 0xaa
