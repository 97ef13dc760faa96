// Sizing of the worker pool: environment overrides, the affinity mask and control-group
// CPU quotas (version 2 "cpu.max", version 1 "cpu.cfs_quota_us" / "cpu.cfs_period_us").
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "explore/pool.hpp"

namespace quarnel {
namespace {

// A decimal unsigned integer: an optional '+', then digits only, within the range of size_t.
std::optional<std::size_t> parse_count(const char* text) {
    if (text == nullptr) return std::nullopt;
    std::string_view digits(text);
    if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
    if (digits.empty()) return std::nullopt;
    std::size_t value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::size_t>(c - '0');
        if (value > (SIZE_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::size_t affinity_processor_count() {
    for (std::size_t capacity = CPU_SETSIZE; capacity <= (std::size_t{1} << 22); capacity *= 2) {
        cpu_set_t* set = CPU_ALLOC(capacity);
        if (set == nullptr) return 0;
        const std::size_t bytes = CPU_ALLOC_SIZE(capacity);
        const bool ok = sched_getaffinity(0, bytes, set) == 0;
        const int error = errno;
        const std::size_t count = ok ? static_cast<std::size_t>(CPU_COUNT_S(bytes, set)) : 0;
        CPU_FREE(set);
        if (ok || error != EINVAL) return count;
    }
    return 0;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream stream(text);
    while (std::getline(stream, part, separator)) parts.push_back(part);
    if (!text.empty() && text.back() == separator) parts.emplace_back();
    return parts;
}

std::vector<std::string> read_lines(const std::string& path) {
    std::ifstream file(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
}

std::optional<std::string> read_first_line(const std::string& path) {
    const auto lines = read_lines(path);
    if (lines.empty()) return std::nullopt;
    return lines.front();
}

bool has_item(const std::string& comma_list, std::string_view item) {
    const auto items = split(comma_list, ',');
    return std::find(items.begin(), items.end(), item) != items.end();
}

// Where a control-group hierarchy is mounted: the mount point and the hierarchy path it shows.
struct CgroupMount {
    std::string mount_point;
    std::string root;
};

// Finds the cgroup2 mount (version 2) or the cgroup mount carrying the cpu controller (1).
std::optional<CgroupMount> find_cgroup_mount(int version) {
    for (const auto& line : read_lines("/proc/self/mountinfo")) {
        const std::size_t separator = line.find(" - ");
        if (separator == std::string::npos) continue;
        std::istringstream before(line.substr(0, separator));
        std::istringstream after(line.substr(separator + 3));
        std::string id, parent, device, root, mount_point, fs_type, source, super_options;
        before >> id >> parent >> device >> root >> mount_point;
        after >> fs_type >> source >> super_options;
        const bool matches = version == 2 ? fs_type == "cgroup2"
                                          : fs_type == "cgroup" && has_item(super_options, "cpu");
        if (matches) return CgroupMount{mount_point, root};
    }
    return std::nullopt;
}

// The process's path in the hierarchy of the given version, from /proc/self/cgroup.
std::optional<std::string> own_cgroup_path(int version) {
    for (const auto& line : read_lines("/proc/self/cgroup")) {
        const auto fields = split(line, ':');
        if (fields.size() < 3) continue;
        const bool matches = version == 2 ? fields[0] == "0" && fields[1].empty() : has_item(fields[1], "cpu");
        if (matches) return fields[2];
    }
    return std::nullopt;
}

// The directories from the process's own control group up to the visible root of the hierarchy.
std::vector<std::string> cgroup_directories(int version) {
    const auto mount = find_cgroup_mount(version);
    const auto path = own_cgroup_path(version);
    if (!mount || !path) return {};
    std::string relative;
    if (mount->root == "/") relative = *path;
    else if (path->rfind(mount->root, 0) == 0) relative = path->substr(mount->root.size());
    std::vector<std::string> directories;
    while (!relative.empty() && relative != "/") {
        directories.push_back(mount->mount_point + relative);
        relative.erase(relative.find_last_of('/'));
    }
    directories.push_back(mount->mount_point);
    return directories;
}

// Quota and period as numbers; nullopt where either is not a count ("max" and "-1" mean no limit).
std::optional<std::pair<double, double>> quota_pair(const std::string& quota, const std::string& period) {
    const auto q = parse_count(quota.c_str());
    const auto p = parse_count(period.c_str());
    if (!q || !p) return std::nullopt;
    return std::pair{static_cast<double>(*q), static_cast<double>(*p)};
}

// Quota and period of one control group; nullopt for no limit or an unreadable file.
std::optional<std::pair<double, double>> read_quota(const std::string& directory, int version) {
    if (version == 2) {
        const auto line = read_first_line(directory + "/cpu.max");
        if (!line) return std::nullopt;
        const auto fields = split(*line, ' ');
        if (fields.size() != 2) return std::nullopt;
        return quota_pair(fields[0], fields[1]);
    }
    const auto quota_line = read_first_line(directory + "/cpu.cfs_quota_us");
    const auto period_line = read_first_line(directory + "/cpu.cfs_period_us");
    if (!quota_line || !period_line) return std::nullopt;
    return quota_pair(*quota_line, *period_line);
}

// The tightest CPU quota along the process's control groups, in whole processors.
std::optional<std::size_t> cgroup_processor_limit() {
    for (const int version : {2, 1}) {
        std::optional<std::size_t> limit;
        for (const auto& directory : cgroup_directories(version)) {
            const auto quota = read_quota(directory, version);
            if (!quota || quota->second <= 0.0) continue;
            const auto processors = static_cast<std::size_t>(std::max(1.0, std::ceil(quota->first / quota->second)));
            limit = std::min(limit.value_or(processors), processors);
        }
        if (limit) return limit;
    }
    return std::nullopt;
}

}  // namespace

PoolSizeChoice pool_sizing_for(const char* num_threads, const char* num_cpus, std::size_t available) {
    if (const auto threads = parse_count(num_threads); threads && *threads > 0) return {*threads, "RAYON_NUM_THREADS"};
    if (parse_count(num_threads)) return {available, "available processors"};  // 0: the default
    if (const auto cpus = parse_count(num_cpus); cpus && *cpus > 0) return {*cpus, "RAYON_RS_NUM_CPUS"};
    return {available, "available processors"};
}

std::size_t pool_size_for(const char* num_threads, const char* num_cpus, std::size_t available) {
    return pool_sizing_for(num_threads, num_cpus, available).workers;
}

const char* pool_size_source() {
    return pool_sizing_for(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"), 0).source;
}

std::size_t available_processors() {
    std::size_t count = affinity_processor_count();
    if (count == 0) {
        const long online = sysconf(_SC_NPROCESSORS_ONLN);
        count = online > 0 ? static_cast<std::size_t>(online) : 1;
    }
    if (const auto limit = cgroup_processor_limit()) count = std::min(count, *limit);
    return count;
}

}  // namespace quarnel
