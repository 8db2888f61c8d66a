// The host side of host_image.h: sim's image builder behind a C interface.
#include "host_image.h"

#include <disk_image.h>

#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

extern "C" int host_image_create(char *path, unsigned long path_len, unsigned int total_mib,
                                 struct host_image_part *parts, int nparts) {
    std::string dir = (std::filesystem::temp_directory_path() / "velmora-img-XXXXXX").string();
    if (!mkdtemp(dir.data()))
        return -1;
    const std::string image = dir + "/disk.img";
    if (image.size() + 1 > path_len) {
        std::filesystem::remove_all(dir);
        return -1;
    }
    try {
        std::vector<velmora::sim::PartitionSpec> specs;
        for (int i = 0; i < nparts; ++i)
            specs.push_back({parts[i].size_mib, parts[i].fs_type ? parts[i].fs_type : "",
                             parts[i].block_size, false});
        auto table = velmora::sim::buildPartitionedImage(image, total_mib, specs);
        if (table.size() != static_cast<std::size_t>(nparts))
            throw std::runtime_error("the table does not hold the partitions asked for");
        for (int i = 0; i < nparts; ++i) {
            parts[i].start = table[i].startSector;
            parts[i].sectors = table[i].sectors;
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "host_image_create: %s\n", e.what());
        std::filesystem::remove_all(dir);
        return -1;
    }
    std::memcpy(path, image.c_str(), image.size() + 1);
    return 0;
}

extern "C" void host_image_remove(const char *path) {
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(path).parent_path(), ec);
}
