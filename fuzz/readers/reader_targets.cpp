#include "reader_targets.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "carmen.h"
#include "datasets.h"

#define LARKSPUR_READER_STRINGIFY_(x) #x
#define LARKSPUR_READER_STRINGIFY(x) LARKSPUR_READER_STRINGIFY_(x)
#define LARKSPUR_READER_CHECK(condition) \
  ((condition) ? static_cast<void>(0)    \
               : Fail(__FILE__ ":" LARKSPUR_READER_STRINGIFY(__LINE__) ": " #condition))

namespace larkspur {
namespace fuzz {
namespace {

using datasets::DatasetError;

[[noreturn]] void Fail(const char* expectation) {
  std::fprintf(stderr, "broken expectation: %s\n", expectation);
  std::abort();
}

// One file per process, rewritten for every input and removed at exit.
class InputFile {
 public:
  InputFile() {
    char name[] = "/tmp/larkspur_fuzz_reader_XXXXXX";
    const int fd = mkstemp(name);
    LARKSPUR_READER_CHECK(fd >= 0);
    close(fd);
    path_ = name;
  }
  ~InputFile() { unlink(path_.c_str()); }
  const std::string& Write(const std::uint8_t* data, std::size_t size) {
    std::ofstream(path_, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return path_;
  }

 private:
  std::string path_;
};

const std::string& WriteInput(const std::uint8_t* data, std::size_t size) {
  static InputFile file;
  return file.Write(data, size);
}

// A refusal names the file it refuses.
void CheckRefusal(const DatasetError& error, const std::string& path) {
  LARKSPUR_READER_CHECK(std::string(error.what()).find(path) != std::string::npos);
}

// What the laser detector and the replay tool rely on in a scan read from a
// file: a stamp a message can hold, angle_max consistent with the count, and
// ranges present.
void CheckScans(const std::vector<datasets::ScanRecord>& records) {
  for (const datasets::ScanRecord& record : records) {
    const auto& scan = record.scan;
    LARKSPUR_READER_CHECK(std::isfinite(record.stamp));
    LARKSPUR_READER_CHECK(scan.header.stamp.nanosec < 1000000000u);
    if (scan.ranges.size() > 1 && std::isfinite(scan.angle_increment)) {
      const float expected =
          scan.angle_min + static_cast<float>(scan.ranges.size() - 1) * scan.angle_increment;
      LARKSPUR_READER_CHECK(scan.angle_max == expected || std::isnan(expected));
    }
  }
}

template <typename Read>
void ReadOrRefuse(const std::uint8_t* data, std::size_t size, Read&& read) {
  const std::string& path = WriteInput(data, size);
  try {
    read(path);
  } catch (const DatasetError& error) {
    CheckRefusal(error, path);
  }
}

}  // namespace

void RunKittiBinReader(const std::uint8_t* data, std::size_t size) {
  ReadOrRefuse(data, size, [&](const std::string& path) {
    const auto cloud = datasets::ReadKittiBin(path);
    LARKSPUR_READER_CHECK(cloud->size() * 16 == size);
    LARKSPUR_READER_CHECK(cloud->width == cloud->size() && cloud->height == 1);
  });
}

void RunKittiLabelReader(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  // A frame of 0 to 255 points, from the first byte.
  const std::size_t points = data[0];
  ReadOrRefuse(data + 1, size - 1, [&](const std::string& path) {
    const auto labels = datasets::ReadSemanticKittiLabels(path, points);
    LARKSPUR_READER_CHECK(labels.size() == points);
  });
}

void RunKittiPosesReader(const std::uint8_t* data, std::size_t size) {
  ReadOrRefuse(data, size, [&](const std::string& path) {
    for (const Eigen::Matrix4f& pose : datasets::ReadKittiPoses(path)) {
      LARKSPUR_READER_CHECK(pose(3, 0) == 0.0f && pose(3, 1) == 0.0f && pose(3, 2) == 0.0f &&
                            pose(3, 3) == 1.0f);
    }
  });
}

void RunKittiCalibReader(const std::uint8_t* data, std::size_t size) {
  ReadOrRefuse(data, size, [&](const std::string& path) {
    const Eigen::Matrix4f tr = datasets::ReadKittiVeloToCam(path);
    LARKSPUR_READER_CHECK(tr(3, 3) == 1.0f);
  });
}

void RunPcdReader(const std::uint8_t* data, std::size_t size) {
  ReadOrRefuse(data, size, [&](const std::string& path) {
    const auto cloud = datasets::ReadPcd(path);
    LARKSPUR_READER_CHECK(cloud->size() == std::size_t{cloud->width} * cloud->height);
  });
}

void RunCarmenReader(const std::uint8_t* data, std::size_t size) {
  ReadOrRefuse(data, size, [&](const std::string& path) {
    const datasets::CarmenLog log = datasets::ReadCarmen(path);
    CheckScans(log.scans);
    for (const datasets::ScanRecord& record : log.scans) {
      LARKSPUR_READER_CHECK(std::isfinite(record.scan.angle_min));
      LARKSPUR_READER_CHECK(record.scan.angle_increment > 0.0f);
      LARKSPUR_READER_CHECK(record.scan.range_max > 0.0f);
      LARKSPUR_READER_CHECK(std::isfinite(record.pose.orientation.w));
    }
  });
}

void RunLaserTextReader(const std::uint8_t* data, std::size_t size) {
  ReadOrRefuse(data, size,
               [&](const std::string& path) { CheckScans(datasets::ReadLaserPeople(path)); });
}

}  // namespace fuzz
}  // namespace larkspur
