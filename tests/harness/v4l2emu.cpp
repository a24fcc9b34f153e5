// v4l2emu: a FUSE file system whose regular files behave like V4L2 video
// nodes for the requests the SDK issues (VIDIOC_QUERYCAP, VIDIOC_G_CTRL,
// VIDIOC_S_CTRL), so tests exercise the real open/ioctl/close system calls.
//
// Usage: v4l2emu LOGFILE MOUNTPOINT [fuse options]   (run with -f)
//
// The root directory holds:
//   NAME      one emulated node per name, S_IFREG 0666, direct_io, nonseekable
//   .control  write-only; line commands that configure the nodes (below)
//   .eacces/  a directory in which every lookup fails with EACCES, even for root
//   .eio      a file that opens but whose reads fail with EIO
//
// Control commands, one per line, numbers in C notation (0x.. accepted):
//   reset                         forget every node
//   node NAME                     create (or recreate) a node with defaults
//   remove NAME
//   querycap NAME HEX             raw 104-byte VIDIOC_QUERYCAP answer
//   fail NAME open|querycap|close ERRNO   inject an errno (0 clears it)
//   ctrl NAME ID VALUE [GET_ERRNO [SET_ERRNO [MIN MAX]]]
//                                 with MIN MAX, S_CTRL clamps the value into range;
//                                 exposure writes fail with EACCES while the
//                                 exposure-auto control (if any) is not manual
//                                 or shutter priority, as with uvcvideo
//   delay NAME MICROSECONDS       sleep before answering G_CTRL / S_CTRL
//   answer NAME CMD ERRNO [HEX]   answer for any other ioctl (default ENOTTY)
//
// Every request on a node is appended to LOGFILE as one line:
//   NAME open fh=N flags=0x..   | NAME querycap fh=N | NAME g_ctrl fh=N id=0x..
//   NAME s_ctrl fh=N id=0x.. value=V | NAME ioctl fh=N cmd=0x.. in=HEX
//   NAME close fh=N (each close(2), from FUSE flush) | NAME release fh=N

#define FUSE_USE_VERSION 35
#include <fuse.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr unsigned int kQueryCap = 0x80685600u;
constexpr unsigned int kGetCtrl = 0xC008561Bu;
constexpr unsigned int kSetCtrl = 0xC008561Cu;
constexpr size_t kCapSize = 104;

struct Control {
    int32_t value = 0;
    int get_err = 0;
    int set_err = 0;
    bool ranged = false;  // S_CTRL clamps into [min, max], as uvcvideo does
    int32_t min = 0, max = 0;
};

// uvcvideo refuses a manual exposure write with EACCES while the exposure
// mode is automatic (auto or aperture priority).
constexpr uint32_t kExposureAuto = 0x009A0901u;
constexpr uint32_t kExposureAbsolute = 0x009A0902u;
constexpr int32_t kExposureManual = 1, kExposureShutterPriority = 2;

struct Answer {
    int err = ENOTTY;
    std::vector<uint8_t> data;
};

struct Node {
    std::vector<uint8_t> cap = std::vector<uint8_t>(kCapSize, 0);
    int open_err = 0, querycap_err = 0, close_err = 0;
    long delay_us = 0;
    std::map<uint32_t, Control> ctrls;
    std::map<unsigned int, Answer> answers;
};

std::mutex g_mu;                            // guards everything below
std::map<std::string, Node> g_nodes;
std::map<uint64_t, std::string> g_handles;  // fh -> node name
std::map<uint64_t, std::string> g_pending;  // fh -> partial control line
std::atomic<uint64_t> g_next_fh{1};
int g_log_fd = -1;

std::string hex(const void *p, size_t n) {
    static const char *digits = "0123456789abcdef";
    std::string s;
    const auto *b = static_cast<const uint8_t *>(p);
    for (size_t i = 0; i < n; ++i) {
        s += digits[b[i] >> 4];
        s += digits[b[i] & 15];
    }
    return s;
}

bool unhex(const std::string &s, std::vector<uint8_t> &out) {
    if (s.size() % 2) return false;
    out.clear();
    for (size_t i = 0; i < s.size(); i += 2) {
        char *end = nullptr;
        std::string byte = s.substr(i, 2);
        long v = strtol(byte.c_str(), &end, 16);
        if (*end) return false;
        out.push_back(static_cast<uint8_t>(v));
    }
    return true;
}

// One write(2) per line, O_APPEND: lines from concurrent requests never mix.
void log_line(const std::string &node, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void log_line(const std::string &node, const char *fmt, ...) {
    char buf[4096];
    int n = snprintf(buf, sizeof buf, "%s ", node.c_str());
    va_list ap;
    va_start(ap, fmt);
    n += vsnprintf(buf + n, sizeof buf - n - 1, fmt, ap);
    va_end(ap);
    if (n > static_cast<int>(sizeof buf) - 2) n = sizeof buf - 2;
    buf[n++] = '\n';
    if (g_log_fd >= 0 && write(g_log_fd, buf, n) < 0) { /* nothing to do */ }
}

// "/video0" -> "video0"; empty for anything that is not a top-level name.
std::string top_name(const char *path) {
    if (path[0] != '/' || strchr(path + 1, '/')) return {};
    return path + 1;
}

bool is_node(const std::string &name) {
    std::lock_guard<std::mutex> lock(g_mu);
    return !name.empty() && g_nodes.count(name);
}

// ---- control commands -------------------------------------------------------

bool to_num(const std::string &s, long long &v) {
    if (s.empty()) return false;
    char *end = nullptr;
    errno = 0;
    v = strtoll(s.c_str(), &end, 0);
    if (*end == 0 && errno == 0) return true;
    unsigned long long u = strtoull(s.c_str(), &end, 0);  // ids above INT64 range
    v = static_cast<long long>(u);
    return *end == 0 && errno == 0;
}

// Runs one command with g_mu held; false on a malformed command.
bool run_command(const std::vector<std::string> &t) {
    if (t.empty()) return true;
    const std::string &op = t[0];
    if (op == "reset" && t.size() == 1) {
        g_nodes.clear();
        return true;
    }
    if (t.size() < 2) return false;
    const std::string &name = t[1];
    if (name.empty() || name[0] == '.') return false;
    if (op == "node" && t.size() == 2) {
        g_nodes[name] = Node();
        return true;
    }
    if (op == "remove" && t.size() == 2) return g_nodes.erase(name) == 1;
    auto it = g_nodes.find(name);
    if (it == g_nodes.end()) return false;
    Node &node = it->second;
    long long a = 0, b = 0, c = 0, d = 0;
    if (op == "querycap" && t.size() == 3) {
        std::vector<uint8_t> cap;
        if (!unhex(t[2], cap) || cap.size() != kCapSize) return false;
        node.cap = cap;
        return true;
    }
    if (op == "fail" && t.size() == 4 && to_num(t[3], a)) {
        if (t[2] == "open") node.open_err = static_cast<int>(a);
        else if (t[2] == "querycap") node.querycap_err = static_cast<int>(a);
        else if (t[2] == "close") node.close_err = static_cast<int>(a);
        else return false;
        return true;
    }
    if (op == "ctrl" && (t.size() >= 4 && t.size() <= 6 || t.size() == 8) && to_num(t[2], a) &&
        to_num(t[3], b)) {
        long long lo = 0, hi = 0;
        if (t.size() > 4 && !to_num(t[4], c)) return false;
        if (t.size() > 5 && !to_num(t[5], d)) return false;
        if (t.size() == 8 && !(to_num(t[6], lo) && to_num(t[7], hi))) return false;
        node.ctrls[static_cast<uint32_t>(a)] =
            Control{static_cast<int32_t>(b), static_cast<int>(c), static_cast<int>(d), t.size() == 8,
                    static_cast<int32_t>(lo), static_cast<int32_t>(hi)};
        return true;
    }
    if (op == "delay" && t.size() == 3 && to_num(t[2], a)) {
        node.delay_us = static_cast<long>(a);
        return true;
    }
    if (op == "answer" && (t.size() == 4 || t.size() == 5) && to_num(t[2], a) && to_num(t[3], b)) {
        Answer ans;
        ans.err = static_cast<int>(b);
        if (t.size() == 5 && !unhex(t[4], ans.data)) return false;
        node.answers[static_cast<unsigned int>(a)] = ans;
        return true;
    }
    return false;
}

// ---- file system operations ---------------------------------------------------

void *emu_init(struct fuse_conn_info *, struct fuse_config *cfg) {
    // Nodes come and go between tests: never let the kernel cache a lookup.
    cfg->entry_timeout = 0;
    cfg->attr_timeout = 0;
    cfg->negative_timeout = 0;
    cfg->direct_io = 1;
    return nullptr;
}

int emu_getattr(const char *path, struct stat *st, struct fuse_file_info *) {
    memset(st, 0, sizeof *st);
    st->st_uid = getuid();
    st->st_gid = getgid();
    std::string p(path);
    if (p == "/" || p == "/.eacces") {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    if (p.rfind("/.eacces/", 0) == 0) return -EACCES;
    st->st_nlink = 1;
    if (p == "/.control") {
        st->st_mode = S_IFREG | 0600;
        return 0;
    }
    if (p == "/.eio") {
        st->st_mode = S_IFREG | 0444;
        st->st_size = 4096;
        return 0;
    }
    if (!is_node(top_name(path))) return -ENOENT;
    st->st_mode = S_IFREG | 0666;
    return 0;
}

int emu_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t, struct fuse_file_info *,
                enum fuse_readdir_flags) {
    if (strcmp(path, "/") != 0) return strcmp(path, "/.eacces") == 0 ? -EACCES : -ENOTDIR;
    fill(buf, ".", nullptr, 0, FUSE_FILL_DIR_PLUS);
    fill(buf, "..", nullptr, 0, FUSE_FILL_DIR_PLUS);
    std::lock_guard<std::mutex> lock(g_mu);
    for (const auto &kv : g_nodes) fill(buf, kv.first.c_str(), nullptr, 0, FUSE_FILL_DIR_PLUS);
    return 0;
}

int emu_open(const char *path, struct fuse_file_info *fi) {
    fi->direct_io = 1;
    fi->nonseekable = 1;
    std::string p(path);
    if (p == "/.control" || p == "/.eio") {
        fi->fh = g_next_fh++;
        return 0;
    }
    std::string name = top_name(path);
    std::lock_guard<std::mutex> lock(g_mu);
    auto it = g_nodes.find(name);
    if (it == g_nodes.end()) return -ENOENT;
    fi->fh = g_next_fh++;
    log_line(name, "open fh=%llu flags=0x%x", (unsigned long long)fi->fh, fi->flags);
    if (it->second.open_err) return -it->second.open_err;
    g_handles[fi->fh] = name;
    return 0;
}

int emu_read(const char *path, char *, size_t, off_t, struct fuse_file_info *) {
    return strcmp(path, "/.eio") == 0 ? -EIO : -EINVAL;
}

int emu_write(const char *path, const char *data, size_t size, off_t, struct fuse_file_info *fi) {
    if (strcmp(path, "/.control") != 0) return -EINVAL;
    std::lock_guard<std::mutex> lock(g_mu);
    std::string &pending = g_pending[fi->fh];
    pending.append(data, size);
    size_t start = 0, nl;
    bool ok = true;
    while ((nl = pending.find('\n', start)) != std::string::npos) {
        std::istringstream line(pending.substr(start, nl - start));
        std::vector<std::string> tokens;
        for (std::string tok; line >> tok;) tokens.push_back(tok);
        ok = run_command(tokens) && ok;
        start = nl + 1;
    }
    pending.erase(0, start);
    return ok ? static_cast<int>(size) : -EINVAL;
}

int emu_truncate(const char *, off_t, struct fuse_file_info *) { return 0; }

// flush runs synchronously inside every close(2), and its error is what
// close(2) returns; release comes later and asynchronously.
int emu_flush(const char *, struct fuse_file_info *fi) {
    std::lock_guard<std::mutex> lock(g_mu);
    auto h = g_handles.find(fi->fh);
    if (h == g_handles.end()) return 0;
    log_line(h->second, "close fh=%llu", (unsigned long long)fi->fh);
    auto it = g_nodes.find(h->second);
    return it != g_nodes.end() && it->second.close_err ? -it->second.close_err : 0;
}

int emu_release(const char *, struct fuse_file_info *fi) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_pending.erase(fi->fh);
    auto h = g_handles.find(fi->fh);
    if (h == g_handles.end()) return 0;
    log_line(h->second, "release fh=%llu", (unsigned long long)fi->fh);
    g_handles.erase(h);
    return 0;
}

int control_request(const std::string &name, unsigned int cmd, void *data, uint64_t fh) {
    uint32_t id;
    int32_t value;
    memcpy(&id, data, 4);
    memcpy(&value, static_cast<char *>(data) + 4, 4);
    long delay_us;
    {
        std::lock_guard<std::mutex> lock(g_mu);
        if (cmd == kGetCtrl)
            log_line(name, "g_ctrl fh=%llu id=0x%08x", (unsigned long long)fh, id);
        else
            log_line(name, "s_ctrl fh=%llu id=0x%08x value=%d", (unsigned long long)fh, id, value);
        auto it = g_nodes.find(name);
        if (it == g_nodes.end()) return -ENODEV;
        delay_us = it->second.delay_us;
    }
    if (delay_us > 0) std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
    std::lock_guard<std::mutex> lock(g_mu);
    auto it = g_nodes.find(name);
    if (it == g_nodes.end()) return -ENODEV;
    auto c = it->second.ctrls.find(id);
    if (c == it->second.ctrls.end()) return -EINVAL;
    if (cmd == kGetCtrl) {
        if (c->second.get_err) return -c->second.get_err;
        memcpy(static_cast<char *>(data) + 4, &c->second.value, 4);
    } else {
        if (c->second.set_err) return -c->second.set_err;
        if (id == kExposureAbsolute) {
            auto mode = it->second.ctrls.find(kExposureAuto);
            if (mode != it->second.ctrls.end() && mode->second.value != kExposureManual &&
                mode->second.value != kExposureShutterPriority)
                return -EACCES;
        }
        if (c->second.ranged) value = std::clamp(value, c->second.min, c->second.max);
        c->second.value = value;
    }
    return 0;
}

int emu_ioctl(const char *, unsigned int cmd, void *, struct fuse_file_info *fi, unsigned int flags,
              void *data) {
    if (flags & FUSE_IOCTL_DIR) return -ENOTTY;
    std::string name;
    {
        std::lock_guard<std::mutex> lock(g_mu);
        auto h = g_handles.find(fi->fh);
        if (h == g_handles.end()) return -ENOTTY;
        name = h->second;
    }
    if ((cmd == kGetCtrl || cmd == kSetCtrl) && data) return control_request(name, cmd, data, fi->fh);
    std::lock_guard<std::mutex> lock(g_mu);
    auto it = g_nodes.find(name);
    if (cmd == kQueryCap && data) {
        log_line(name, "querycap fh=%llu", (unsigned long long)fi->fh);
        if (it == g_nodes.end()) return -ENODEV;
        if (it->second.querycap_err) return -it->second.querycap_err;
        memcpy(data, it->second.cap.data(), kCapSize);
        return 0;
    }
    size_t size = (cmd >> 16) & 0x3fff;
    bool writes = (cmd >> 30) & 1;  // the caller passes data in
    log_line(name, "ioctl fh=%llu cmd=0x%08x in=%s", (unsigned long long)fi->fh, cmd,
             data && writes ? hex(data, size).c_str() : "");
    if (it == g_nodes.end()) return -ENODEV;
    auto a = it->second.answers.find(cmd);
    if (a == it->second.answers.end()) return -ENOTTY;
    if (a->second.err) return -a->second.err;
    if (data) memcpy(data, a->second.data.data(), std::min(size, a->second.data.size()));
    return 0;
}

}  // namespace

int main(int argc, char *argv[]) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s LOGFILE MOUNTPOINT [fuse options]\n", argv[0]);
        return 2;
    }
    // Never outlive the test process that started us.
    pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) return 1;

    g_log_fd = open(argv[1], O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (g_log_fd < 0) {
        perror(argv[1]);
        return 1;
    }
    static struct fuse_operations ops;
    ops.init = emu_init;
    ops.getattr = emu_getattr;
    ops.readdir = emu_readdir;
    ops.open = emu_open;
    ops.read = emu_read;
    ops.write = emu_write;
    ops.truncate = emu_truncate;
    ops.flush = emu_flush;
    ops.release = emu_release;
    ops.ioctl = emu_ioctl;
    argv[1] = argv[0];
    return fuse_main(argc - 1, argv + 1, &ops, nullptr);
}
