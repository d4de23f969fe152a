/* What the shell-script side of the VM comparison needs beyond bash, sfdisk, mke2fs and tar,
 * for the boot image of the virtual machine only: "insmod FILE...", "mount DEVICE DIR TYPE",
 * "umount DIR", "sync". Loading modules and mounting are for the guest's kernel; on any other
 * machine it refuses to run: it needs the guest's marker file and to be started by process 1
 * (the benchmark script, which is the guest's init). */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (access("/bench-vm-guest", F_OK) != 0 || getppid() != 1) {
        fprintf(stderr, "bench_vm_helper: only inside the benchmark's virtual machine\n");
        return 2;
    }
    if (argc >= 2 && strcmp(argv[1], "insmod") == 0) {
        for (int i = 2; i < argc; ++i) {
            int fd = open(argv[i], O_RDONLY | O_CLOEXEC);
            if (fd < 0 || (syscall(SYS_finit_module, fd, "", 0) != 0 && errno != EEXIST)) {
                fprintf(stderr, "bench_vm_helper: %s: %s\n", argv[i], strerror(errno));
                return 1;
            }
            close(fd);
        }
        return 0;
    }
    if (argc == 5 && strcmp(argv[1], "mount") == 0) {
        if (mount(argv[2], argv[3], argv[4], 0, NULL) == 0)
            return 0;
    } else if (argc == 3 && strcmp(argv[1], "umount") == 0) {
        if (umount(argv[2]) == 0)
            return 0;
    } else if (argc == 2 && strcmp(argv[1], "sync") == 0) {
        sync();
        return 0;
    } else {
        fprintf(stderr, "usage: bench_vm_helper insmod FILE... | mount DEV DIR TYPE | umount DIR "
                        "| sync\n");
        return 2;
    }
    fprintf(stderr, "bench_vm_helper: %s: %s\n", argv[1], strerror(errno));
    return 1;
}
