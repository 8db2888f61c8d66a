// A running machine (velmorad mounting its partitions itself, so no root is
// needed) and velmora-agent run against it as a person would, with its key
// directory and store in the test's own directory.
#pragma once

#include "host_commands.h"

#include <disk_image.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <png.h>

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace velmora::live {

using nlohmann::json;

inline std::string slurp(const std::string &path) {
    return velmora::sim::readWholeFile(path);
}

inline std::string quoted(const std::string &s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

struct Agent {
    int status = -1;
    std::string out, err;
    json object;  // stdout parsed, when it is JSON
};

// A PNG's text chunk by key, or empty.
inline std::string pngText(const std::string &path, const std::string &key) {
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return {};
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    std::string value;
    if (setjmp(png_jmpbuf(png)) == 0) {
        png_init_io(png, f);
        png_read_info(png, info);
        png_textp texts = nullptr;
        int n = png_get_text(png, info, &texts, nullptr);
        for (int i = 0; i < n; ++i)
            if (key == texts[i].key)
                value = texts[i].text;
    }
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    return value;
}

class AgentCommands : public ::testing::Test {
  protected:
    void SetUp() override {
        disk_ = dir_.file("disk.img");
        table_ = velmora::sim::buildPartitionedImage(
            disk_, 24, {{8, "ext4", 4096}, {8, "ext2", 1024}, {4, "", 4096}});
        start();
    }
    void TearDown() override {
        if (HasFailure())
            std::cerr << slurp(dir_.file("kernel.log")).substr(0, 4000);
    }

    void start(const std::vector<std::string> &more = {}) {
        std::vector<std::string> argv{VELMORAD_PATH,
                                      "--image",
                                      disk_,
                                      "--mount",
                                      "sda1",
                                      "--mount",
                                      "sda2",
                                      "--socket",
                                      socket(),
                                      "--log",
                                      dir_.file("kernel.log")};
        argv.insert(argv.end(), more.begin(), more.end());
        service_ = std::make_unique<Background>(argv, dir_.file("velmorad.out"));
        ASSERT_TRUE(waitForPath(socket() + ".devices", 30)) << slurp(dir_.file("velmorad.out"));
    }
    void restart(const std::vector<std::string> &more = {}) {
        service_->signal(SIGTERM);
        ASSERT_EQ(service_->wait(), 0) << slurp(dir_.file("velmorad.out"));
        std::filesystem::remove(socket() + ".devices");
        start(more);
    }
    std::string socket() const { return dir_.file("control.sock"); }
    std::string store() const { return dir_.file("store"); }

    Agent agent(const std::vector<std::string> &args) const {
        std::string cmd = "VELMORA_MACHINE=" + quoted(socket()) +
                          " VELMORA_KEY_DIR=" + quoted(dir_.file("keys")) +
                          " VELMORA_STORE=" + quoted(store()) + " " + quoted(AGENT_PATH);
        for (const std::string &a : args)
            cmd += " " + quoted(a);
        CommandResult r = shell(cmd + " 2>" + quoted(dir_.file("stderr")));
        Agent a{r.status, r.output, slurp(dir_.file("stderr")), nullptr};
        if (!a.out.empty() && a.out[0] == '{')
            a.object = json::parse(a.out, nullptr, false);
        return a;
    }
    // `backup` of sda1 into image, which must succeed as a full backup for
    // a reason that says `why`, and hold the partition's bytes.
    void expectFullBecause(const std::string &why, const std::string &image,
                           const std::vector<std::string> &more = {}) {
        std::vector<std::string> args{"backup", "--device", "sda1", "--image", image, "--json"};
        args.insert(args.end(), more.begin(), more.end());
        Agent a = agent(args);
        ASSERT_EQ(a.status, 0) << a.err;
        EXPECT_EQ(a.object["kind"], "full") << a.out;
        EXPECT_NE(a.object["why"].get<std::string>().find(why), std::string::npos) << a.out;
        EXPECT_EQ(a.object["blocksCopied"], a.object["blocks"]);
        EXPECT_TRUE(slurp(image) == partitionBytes(1)) << "the image is not the partition";
    }
    std::string partitionBytes(int number) const {
        for (const auto &p : table_)
            if (p.number == number)
                return slurp(disk_).substr(p.startSector * 512, p.sectors * 512);
        return {};
    }

    velmora::sim::TempDir dir_;
    std::string disk_;
    std::vector<velmora::sim::PartitionInfo> table_;
    std::unique_ptr<Background> service_;
};

}  // namespace velmora::live
