// minimal-copy SOURCE TARGET [THREADS [whole]]: the least a tree copy must do,
// as a yardstick for the engine. THREADS (16 unless given) threads share one
// queue of folder and file jobs. Per folder: mkdirat and one listing; per
// file: two openat, copy_file_range (sendfile where that cannot cross
// filesystems), fchown, fchmod, futimens and two close; links are made again.
// No checks of an existing target, no fsync; one syncfs of the target at the
// end, as the other tools get. With `whole`, each file is written with no
// name (O_TMPFILE) and linked under its name once complete, so that a copy
// cut short leaves no partial file under a file's name: the least a backup
// must do, one linkat more per file. Exit status 0 when all went well.
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// A listed folder and its copy, open while jobs inside it are queued.
struct Pair {
    int source = -1;
    int target = -1;
    Pair(int s, int t) : source(s), target(t) {}
    Pair(const Pair &) = delete;
    Pair &operator=(const Pair &) = delete;
    ~Pair()
    {
        ::close(source);
        ::close(target);
    }
};

struct Job {
    std::shared_ptr<Pair> parent;
    std::string name;
    unsigned char type = DT_UNKNOWN;
};

std::mutex mutex;
std::condition_variable ready;
std::vector<Job> jobs; // taken from the back: depth first, few folders open
std::size_t busy = 0;
std::atomic<bool> failed{false};
std::atomic<bool> noCopyRange{false};
const bool asRoot = ::geteuid() == 0;
bool whole = false;

void push(Job job)
{
    {
        std::lock_guard lock(mutex);
        jobs.push_back(std::move(job));
    }
    ready.notify_one();
}

void problem(const char *what, const std::string &name)
{
    std::fprintf(stderr, "%s %s: %s\n", what, name.c_str(), std::strerror(errno));
    failed = true;
}

void copyMetadata(int fd, const struct stat &info)
{
    const struct timespec times[2] = {info.st_atim, info.st_mtim};
    if ((asRoot && ::fchown(fd, info.st_uid, info.st_gid) != 0) || ::fchmod(fd, info.st_mode & 07777) != 0
        || ::futimens(fd, times) != 0)
        problem("metadata", "");
}

void copyFile(const Pair &parent, const std::string &name)
{
    const int in = ::openat(parent.source, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0)
        return problem("open", name);
    struct stat info {};
    if (::fstat(in, &info) != 0) {
        ::close(in);
        return problem("stat", name);
    }
    const int out = whole ? ::openat(parent.target, ".", O_WRONLY | O_TMPFILE | O_CLOEXEC, 0600)
                          : ::openat(parent.target, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0) {
        ::close(in);
        return problem("create", name);
    }
    off_t left = info.st_size;
    while (left > 0 && !noCopyRange.load(std::memory_order_relaxed)) {
        const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, static_cast<std::size_t>(left), 0);
        if (n <= 0) {
            if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP))
                noCopyRange = true;
            else
                left = 0;
            break;
        }
        left -= n;
    }
    while (left > 0) {
        const ssize_t n = ::sendfile(out, in, nullptr, static_cast<std::size_t>(left));
        if (n <= 0) {
            problem("copy", name);
            break;
        }
        left -= n;
    }
    copyMetadata(out, info);
    if (whole && ::linkat(out, "", parent.target, name.c_str(), AT_EMPTY_PATH) != 0) {
        // Linking by descriptor needs root; /proc names the file otherwise.
        const std::string self = "/proc/self/fd/" + std::to_string(out);
        if (::linkat(AT_FDCWD, self.c_str(), parent.target, name.c_str(), AT_SYMLINK_FOLLOW) != 0)
            problem("link", name);
    }
    ::close(out);
    ::close(in);
}

void copyLink(const Pair &parent, const std::string &name)
{
    char text[4096];
    const ssize_t n = ::readlinkat(parent.source, name.c_str(), text, sizeof text - 1);
    if (n < 0)
        return problem("read link", name);
    text[n] = '\0';
    if (::symlinkat(text, parent.target, name.c_str()) != 0)
        problem("link", name);
}

// Lists `source` into jobs; `target` is its copy, already made.
void listFolder(int source, int target)
{
    DIR *stream = ::fdopendir(source);
    if (stream == nullptr) {
        ::close(source);
        ::close(target);
        return problem("list", "");
    }
    const int own = ::dup(source);
    auto pair = std::make_shared<Pair>(own, target);
    while (const dirent *entry = ::readdir(stream)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        push(Job{pair, entry->d_name, entry->d_type});
    }
    ::closedir(stream);
}

void copyFolder(const Pair &parent, const std::string &name)
{
    struct stat info {};
    if (::fstatat(parent.source, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return problem("stat", name);
    if (::mkdirat(parent.target, name.c_str(), info.st_mode & 07777 | 0700) != 0 && errno != EEXIST)
        return problem("mkdir", name);
    const int source = ::openat(parent.source, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int target = ::openat(parent.target, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (source < 0 || target < 0) {
        if (source >= 0)
            ::close(source);
        if (target >= 0)
            ::close(target);
        return problem("open folder", name);
    }
    listFolder(source, target);
}

void work()
{
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mutex);
            ready.wait(lock, [] { return !jobs.empty() || busy == 0; });
            if (jobs.empty())
                return;
            job = std::move(jobs.back());
            jobs.pop_back();
            ++busy;
        }
        unsigned char type = job.type;
        if (type == DT_UNKNOWN) {
            struct stat info {};
            if (::fstatat(job.parent->source, job.name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0)
                type = S_ISDIR(info.st_mode) ? DT_DIR : S_ISLNK(info.st_mode) ? DT_LNK : DT_REG;
        }
        if (type == DT_DIR)
            copyFolder(*job.parent, job.name);
        else if (type == DT_LNK)
            copyLink(*job.parent, job.name);
        else if (type == DT_REG)
            copyFile(*job.parent, job.name);
        job.parent.reset();
        bool last = false;
        {
            std::lock_guard lock(mutex);
            last = --busy == 0 && jobs.empty();
        }
        if (last)
            ready.notify_all();
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3 || argc > 5 || (argc == 5 && std::strcmp(argv[4], "whole") != 0)) {
        std::fprintf(stderr, "usage: minimal-copy SOURCE TARGET [THREADS [whole]]\n");
        return 2;
    }
    const unsigned threads = argc >= 4 ? static_cast<unsigned>(std::strtoul(argv[3], nullptr, 10)) : 16;
    whole = argc == 5;
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        (void)::setrlimit(RLIMIT_NOFILE, &limit);
    }
    struct stat info {};
    if (::stat(argv[1], &info) != 0 || (::mkdir(argv[2], info.st_mode & 07777 | 0700) != 0 && errno != EEXIST)) {
        std::perror(argv[2]);
        return 1;
    }
    const int source = ::open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int target = ::open(argv[2], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (source < 0 || target < 0) {
        std::perror("open");
        return 1;
    }
    {
        std::lock_guard lock(mutex);
        ++busy; // the top folder's listing
    }
    std::vector<std::thread> pool;
    for (unsigned i = 0; i < std::max(1u, threads); ++i)
        pool.emplace_back(work);
    listFolder(source, ::dup(target));
    {
        std::lock_guard lock(mutex);
        --busy;
    }
    ready.notify_all();
    for (auto &thread : pool)
        thread.join();
    if (::syncfs(target) != 0)
        problem("sync", argv[2]);
    ::close(target);
    return failed ? 1 : 0;
}
