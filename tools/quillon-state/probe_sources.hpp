// The sources of the host probes beyond proc's CPUs, memory and interfaces: disks, DRM cards,
// NVIDIA GPUs and cgroups. Each is read (or listed) once per capture before the barrier, so that
// every subject of one source sees the same text, and adds one probe per subject.
//
// Guarantees: as host_probes.hpp states for every probe; a source's sources outlive its probes
// because the capture that made them holds both.
#ifndef QUILLON_STATE_PROBE_SOURCES_HPP
#define QUILLON_STATE_PROBE_SOURCES_HPP

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "nvml.hpp"
#include "probe_support.hpp"

namespace Quillon::Tools::State::detail {

/// A subject that is missing for a reason the barrier cannot know, and that reason.
using MissingReason = std::pair<std::string, std::string>;

/// diskstats and the whole disks among its lines: those named in SYS/block (partitions are not),
/// leaving out loop, ram and zram devices. Holds views of its own text: neither copied nor moved.
struct DiskSource {
  /// Reads PROC/diskstats and lists SYS/block, noting the clock just after the reading.
  DiskSource(const std::string& proc, const std::string& sys, const qm::Clock& clock);
  DiskSource(const DiskSource&) = delete;
  DiskSource& operator=(const DiskSource&) = delete;

  std::string path;
  std::string uptime_path;
  std::optional<std::string> text;
  Listing disks;
  /// Whether SYS/block could be listed: without it no line can be told a whole disk.
  bool block_listed = false;
  std::uint64_t at_ns = 0;
};

/// Adds device:HOST/NAME per whole disk, or device:HOST/disk when diskstats or SYS/block cannot
/// be read or diskstats is garbled.
void addDiskProbes(std::vector<Candidate>& probes, const Context& context, const DiskSource& disks);

/// The DRM cards of SYS/class/drm that report a busy percentage.
struct DrmSource {
  std::string dir;
  std::vector<std::string> cards;
  /// errno of a directory that exists but cannot be listed; 0 otherwise.
  int error = 0;
};

/// Lists SYS/class/drm; a tree without one has no cards.
[[nodiscard]] DrmSource readDrm(const std::string& sys);

/// Adds device:HOST/cardN per card, or device:HOST/card when the directory cannot be listed.
void addDrmProbes(std::vector<Candidate>& probes, const Context& context, const DrmSource& drm);

/// One GPU as NVML enumerates it; `error` says why it cannot be read.
struct NvmlGpu {
  unsigned int index = 0;
  nvmlDevice_t device = nullptr;
  std::string uuid;
  std::string error;
};

/// The GPUs NVML shows, or why it shows none.
struct NvmlSource {
  std::vector<NvmlGpu> gpus;
  std::string error;
};

/// Enumerates the GPUs of `nvml`, each with its handle and UUID; a UUID that two GPUs report makes
/// both fail.
[[nodiscard]] NvmlSource readNvml(const Nvml& nvml);

/// Adds device:HOST/gpuN per GPU and per expected GPU not visible (missing, with the reason in
/// `missing`), or device:HOST/gpu when NVML loaded but could not enumerate and none are expected.
void addNvmlProbes(std::vector<Candidate>& probes, std::vector<MissingReason>& missing,
                   const Context& context, const Nvml& nvml, const NvmlSource& source,
                   std::uint64_t expected, const std::string& library);

/// A cgroup watched: its path as given, its directory in the sysfs tree and its subject name.
struct CgroupSource {
  std::string path;
  std::string dir;
  std::string name;
};

/// Adds run:HOST/NAME per cgroup; `proc` gives the host's memory for a cgroup without a limit.
void addCgroupProbes(std::vector<Candidate>& probes, const Context& context,
                     const std::vector<CgroupSource>& cgroups, const std::string& proc);

}  // namespace Quillon::Tools::State::detail

#endif  // QUILLON_STATE_PROBE_SOURCES_HPP
