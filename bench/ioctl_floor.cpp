// The physical floor for one control request: a tight loop of bare
// VIDIOC_G_CTRL / VIDIOC_S_CTRL ioctls on a descriptor, no interpreter.
// Usage: ioctl_floor PATH get|set ITERATIONS REPEATS -> best ns per call
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s PATH get|set ITERATIONS REPEATS\n", argv[0]);
        return 2;
    }
    int fd = ::open(argv[1], O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    unsigned long request = std::strcmp(argv[2], "set") == 0 ? VIDIOC_S_CTRL : VIDIOC_G_CTRL;
    long iterations = std::atol(argv[3]);
    int repeats = std::atoi(argv[4]);
    double best = 1e30;
    for (int r = 0; r < repeats; ++r) {
        auto start = std::chrono::steady_clock::now();
        for (long i = 0; i < iterations; ++i) {
            v4l2_control ctrl{V4L2_CID_GAIN, 5};
            (void)::ioctl(fd, request, &ctrl);
        }
        std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - start;
        if (spent.count() / iterations < best)
            best = spent.count() / iterations;
    }
    std::printf("%.1f\n", best);
    ::close(fd);
    return 0;
}
