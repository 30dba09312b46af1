#include "sandbox.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <vector>

[[noreturn]] static void die(const char *what)
{
    fprintf(stderr, "sandbox: %s: %s\n", what, strerror(errno));
    exit(97);
}

static void write_proc(const char *path, const std::string &text)
{
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0 || write(fd, text.data(), text.size()) != (ssize_t)text.size())
        die(path);
    close(fd);
}

static void overlay(const char *target, const std::string &scratch)
{
    std::string upper = scratch + "/upper", work = scratch + "/work";
    make_dirs(upper);
    make_dirs(work);
    std::string opts = std::string("lowerdir=") + target + ",upperdir=" + upper + ",workdir=" + work;
    if (mount("sandbox", target, "overlay", 0, opts.c_str()) == 0)
        return;
    // Unprivileged overlays need the user-namespace flavour of xattrs.
    opts += ",userxattr";
    if (mount("sandbox", target, "overlay", 0, opts.c_str()) != 0)
        die(target);
}

// The top directory under /tmp that holds path ("/tmp/a/b" gives "/tmp/a"),
// or "" when path is elsewhere.
static std::string top_under_tmp(const std::string &path)
{
    if (path.rfind("/tmp/", 0) != 0)
        return "";
    auto slash = path.find('/', 5);
    return slash == std::string::npos ? path : path.substr(0, slash);
}

// A checkout or build tree under /tmp would vanish behind the private /tmp;
// such trees are held open now and bound back afterwards.
struct kept_tree {
    std::string path;
    int fd;
};

static std::vector<kept_tree> keep_trees_under_tmp()
{
    std::vector<kept_tree> kept;
    char buf[4096];
    std::vector<std::string> paths;
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n > 0)
        paths.emplace_back(buf, size_t(n));
    if (getcwd(buf, sizeof buf))
        paths.emplace_back(buf);
    for (auto &p : paths) {
        std::string top = top_under_tmp(p);
        bool seen = false;
        for (auto &k : kept)
            seen = seen || k.path == top;
        if (top.empty() || seen)
            continue;
        int fd = open(top.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            die(top.c_str());
        kept.push_back({top, fd});
    }
    return kept;
}

static void bind_back(const std::vector<kept_tree> &kept)
{
    for (auto &k : kept) {
        make_dirs(k.path);
        std::string source = "/proc/self/fd/" + std::to_string(k.fd);
        if (mount(source.c_str(), k.path.c_str(), "none", MS_BIND | MS_REC, nullptr) != 0)
            die(k.path.c_str());
        close(k.fd);
    }
}

static void private_network();
static void private_dev();

void enter_sandbox()
{
    static bool entered = false;
    if (entered)
        return;
    uid_t uid = geteuid();
    gid_t gid = getegid();
    int flags = CLONE_NEWNS;
    if (uid != 0)
        flags |= CLONE_NEWUSER;
    if (unshare(flags) != 0)
        die("unshare");
    if (uid != 0) {
        write_proc("/proc/self/setgroups", "deny");
        write_proc("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
        write_proc("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
    }
    if (mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0)
        die("make / private");
    // Scratch space for the overlays' upper layers lives in a private tmpfs,
    // so nothing written here reaches the host's disk.
    std::vector<kept_tree> kept = keep_trees_under_tmp();
    if (mount("sandbox", "/tmp", "tmpfs", 0, "mode=1777") != 0)
        die("/tmp");
    bind_back(kept);
    overlay("/var", "/tmp/.sandbox/var");
    overlay("/etc", "/tmp/.sandbox/etc");
    overlay("/run", "/tmp/.sandbox/run");
    private_network();
    private_dev();
    entered = true;
}

bool host_root()
{
    // The initial user namespace maps every id to itself.
    std::string map = read_file("/proc/self/uid_map");
    unsigned inside = 1, outside = 1, count = 0;
    return geteuid() == 0 && sscanf(map.c_str(), "%u %u %u", &inside, &outside, &count) == 3 &&
           inside == 0 && outside == 0 && count == 4294967295u;
}

static void loopback_up()
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct ifreq req;
    memset(&req, 0, sizeof req);
    strcpy(req.ifr_name, "lo");
    if (fd < 0 || ioctl(fd, SIOCGIFFLAGS, &req) != 0)
        die("lo flags");
    req.ifr_flags |= IFF_UP;
    if (ioctl(fd, SIOCSIFFLAGS, &req) != 0)
        die("lo up");
    close(fd);
}

// Built in a staging tmpfs, then moved over /dev: the host's /dev itself is
// never written. The nodes are the sandbox's own where it may make them (as
// the host's root): a terminal written through the host's /dev/tty would
// stamp that node's times. Elsewhere they are the host's, bound.
static void private_dev()
{
    const std::string stage = "/tmp/.sandbox/dev";
    make_dirs(stage);
    if (mount("sandbox", stage.c_str(), "tmpfs", 0, "mode=755") != 0)
        die("dev tmpfs");
    for (const char *name : {"null", "zero", "full", "random", "urandom", "tty"}) {
        std::string node = stage + "/" + name, host = std::string("/dev/") + name;
        struct stat device;
        if (stat(host.c_str(), &device) != 0)
            die(host.c_str());
        if (mknod(node.c_str(), S_IFCHR | 0666, device.st_rdev) == 0) {
            if (chmod(node.c_str(), 0666) != 0)  // past the umask
                die(node.c_str());
            continue;
        }
        write_file(node, "");
        if (mount(host.c_str(), node.c_str(), "none", MS_BIND, nullptr) != 0)
            die(host.c_str());
    }
    make_dirs(stage + "/pts");
    make_dirs(stage + "/shm");
    // gid 5 is Debian's tty group, which sshd gives the terminals it opens.
    // (Outside the host's root, gid 5 may not be mapped: then without it.)
    if (mount("devpts", (stage + "/pts").c_str(), "devpts", 0, "newinstance,ptmxmode=0666,mode=0620,gid=5") != 0 &&
        mount("devpts", (stage + "/pts").c_str(), "devpts", 0, "newinstance,ptmxmode=0666,mode=0620") != 0)
        die("devpts");
    if (mount("sandbox", (stage + "/shm").c_str(), "tmpfs", 0, "mode=1777") != 0)
        die("dev shm");
    if (symlink("pts/ptmx", (stage + "/ptmx").c_str()) != 0 ||
        symlink("/proc/self/fd", (stage + "/fd").c_str()) != 0 ||
        symlink("/proc/self/fd/0", (stage + "/stdin").c_str()) != 0 ||
        symlink("/proc/self/fd/1", (stage + "/stdout").c_str()) != 0 ||
        symlink("/proc/self/fd/2", (stage + "/stderr").c_str()) != 0)
        die("dev links");
    if (mount(stage.c_str(), "/dev", "none", MS_MOVE, nullptr) != 0)
        die("move /dev");
}

// Loopback only. The modules' log lines go to /dev/log without waiting on a
// full queue, and the tests read that queue only when they look, so it is
// made long enough for every line of a test.
static void private_network()
{
    if (unshare(CLONE_NEWNET) != 0)
        die("unshare network");
    loopback_up();
    write_proc("/proc/sys/net/unix/max_dgram_qlen", "4096");
}

void enter_service_sandbox() { enter_sandbox(); }

void make_dirs(const std::string &path)
{
    std::string partial;
    std::stringstream parts(path);
    std::string piece;
    while (std::getline(parts, piece, '/')) {
        if (piece.empty())
            continue;
        partial += "/" + piece;
        if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
            die(partial.c_str());
    }
}

void write_file(const std::string &path, const std::string &content, int mode)
{
    auto slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0)
        make_dirs(path.substr(0, slash));
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0 || write(fd, content.data(), content.size()) != (ssize_t)content.size())
        die(path.c_str());
    close(fd);
}

void remove_tree(const std::string &path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return;
    if (S_ISDIR(st.st_mode)) {
        if (DIR *d = opendir(path.c_str())) {
            while (dirent *e = readdir(d)) {
                if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
                    remove_tree(path + "/" + e->d_name);
            }
            closedir(d);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

bool path_exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int count_open_fds()
{
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                n++;
        closedir(d);
        n--;  // the directory stream itself
    }
    return n;
}
