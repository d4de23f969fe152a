# The installer's master boot record code. The BIOS loads it at 0000:7C00; it moves itself out of
# the way to 0000:0600, finds the active partition and chain-loads that partition's first sector
# to 0000:7C00, where the boot loader installed in partition 1 takes over.
#
# Layout of the 184 bytes (the rest of the sector up to the partition table is left zero):
#   0..123    code
#   124..154  "Error loading operating system", NUL
#   155..179  "Missing operating system", NUL
#   180..183  zero
        .code16
        .text

        .set LOADED, 0x7c00             # where the BIOS put us, and where the next sector goes
        .set MOVED, 0x0600              # where we run once the sector is free again
        .set TABLE, MOVED + 446         # first partition entry of the moved copy
        .set SIGNATURE, LOADED + 510    # 0x55 0xAA of the loaded partition sector


start:
        cli
        xorw    %ax, %ax
        movw    %ax, %ss
        movw    $LOADED, %sp
        movw    %ax, %ds
        movw    %ax, %es
        sti
        cld

        # The partition sector is about to land where we stand: copy the whole sector away.
        movw    %sp, %si
        movw    $MOVED, %di
        movw    $256, %cx
        rep movsw
        ljmp    $0, $(relocated - start + MOVED)

relocated:
        # The first entry marked 0x80 is the one to boot; any mark other than 0x80 or 0 means the
        # table is damaged.
        movw    $TABLE, %si
        movb    $4, %cl                 # CX is 0 after the copy
scan:
        movb    (%si), %al
        cmpb    $0x80, %al
        je      found
        testb   %al, %al
        jnz     missing
        addw    $16, %si
        loop    scan
        int     $0x18                   # nothing bootable on this disk: let the BIOS go on
        jmp     halt

found:
        movw    %si, %bp                # the active entry, handed on in SI
        movw    $5, %di                 # attempts
read:
        movw    (%bp), %dx              # DL drive (the 0x80 mark), DH head
        movw    2(%bp), %cx             # CL sector and cylinder bits 8-9, CH cylinder bits 0-7
        movw    $LOADED, %bx
        movw    $0x0201, %ax            # read one sector
        int     $0x13
        jnc     loaded
        xorw    %ax, %ax                # reset the drive before the next attempt
        int     $0x13
        decw    %di
        jnz     read
        movw    $(error_text - start + MOVED), %si
        jmp     print

loaded:
        cmpw    $0xaa55, SIGNATURE
        jne     missing
        movw    %bp, %si
        ljmp    $0, $LOADED

missing:
        movw    $(missing_text - start + MOVED), %si
print:
        lodsb
        testb   %al, %al
        jz      halt
        movb    $0x0e, %ah              # teletype output
        movw    $0x0007, %bx            # page 0, colour 7
        int     $0x10
        jmp     print
halt:
        hlt
        jmp     halt

        .org    124
error_text:
        .asciz  "Error loading operating system"
missing_text:
        .asciz  "Missing operating system"
        .byte   0, 0, 0, 0
