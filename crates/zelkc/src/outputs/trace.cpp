// Writing a schedule's timeline as Chrome trace events.
#include "outputs/trace.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <variant>
#include <vector>

#include "formats/json_text.hpp"
#include "outputs/tile_runs.hpp"
#include "outputs/trace_events.hpp"

namespace zelkc {
namespace zc = zelk_compiler;

namespace {

constexpr std::size_t kNoTrack = std::numeric_limits<std::size_t>::max();

// A track covers a run of tiles; its first and last tile are all that is
// used of the group.
using Track = TileGroup;

std::string track_name(const Track& track) {
  return tiles_named(track.first_tile, track.last_tile);
}

std::vector<Track> tracks_of(const Summary& summary) {
  if (summary.tiles.size() > kMostTileTracks) {
    return summary.groups;
  }
  std::vector<Track> tracks;
  for (const TilePeak& row : summary.tiles) {
    tracks.push_back({.first_tile = row.tile, .last_tile = row.tile});
  }
  return tracks;
}

// What one track does in one phase. Cycles are those of its slowest tile.
struct Activity {
  double cycles = 0;
  std::uint64_t tiles = 0;  // tiles running a command, or sending or receiving
  std::uint64_t bytes_sent = 0;
  std::uint64_t bytes_received = 0;
  std::uint64_t transfers = 0;
  std::vector<zc::TensorId> tensors;  // exchanged, in order of appearance
};

class TraceWriter {
 public:
  TraceWriter(const zc::Graph& graph, const zc::Schedule& schedule, const Summary& summary,
              const CostModel& model)
      : graph_(graph),
        schedule_(schedule),
        model_(model),
        tracks_(tracks_of(summary)),
        events_(model.clock_mhz) {
    std::size_t tiles = schedule.tile_count;
    for (const Track& track : tracks_) {
      tiles = std::max<std::size_t>(tiles, std::size_t{track.last_tile} + 1);
    }
    track_of_tile_.assign(tiles, kNoTrack);
    for (std::size_t index = 0; index < tracks_.size(); ++index) {
      for (std::size_t tile = tracks_[index].first_tile; tile <= tracks_[index].last_tile; ++tile) {
        track_of_tile_[tile] = index;
      }
    }
    sent_.assign(tiles, 0);
    received_.assign(tiles, 0);
    touched_.assign(tiles, 0);
  }

  std::string write(std::string_view workload) {
    std::string out = TraceEvents::open(TraceEvents::other_data(workload, model_));
    write_metadata(out);

    std::vector<double> starts;  // in cycles
    double now = 0;
    for (std::size_t index = 0; index < schedule_.phases.size(); ++index) {
      starts.push_back(now);
      now += std::visit([&](const auto& phase) { return write_phase(out, index, now, phase); },
                        schedule_.phases[index]);
    }
    starts.push_back(now);
    write_memory(out, starts);
    return out + TraceEvents::close();
  }

 private:
  // Process 1 is the whole schedule, process 2 + k track k; each has one
  // thread.
  static constexpr std::uint64_t kSchedulePid = 1;
  static std::uint64_t pid_of(std::size_t track) { return track + 2; }

  void event(std::string& out, const Json& value) { events_.event(out, value); }
  [[nodiscard]] double microseconds(double cycles) const { return events_.microseconds(cycles); }

  void name_process(std::string& out, std::uint64_t pid, const std::string& name,
                    std::uint64_t order, const std::string& thread) {
    events_.name_process(out, pid, name, order);
    events_.name_thread(out, pid, 1, thread);
  }

  void write_metadata(std::string& out) {
    name_process(out, kSchedulePid, "schedule", 0, "phases");
    for (std::size_t index = 0; index < tracks_.size(); ++index) {
      name_process(out, pid_of(index), track_name(tracks_[index]), index + 1,
                   "kernels and exchanges");
    }
  }

  void slice(std::string& out, std::uint64_t pid, const std::string& name, const char* category,
             double start, double cycles, Json args) {
    events_.slice(out, pid, 1, name, category, start, cycles, std::move(args));
  }

  std::string tensor_names(const std::vector<zc::TensorId>& tensors) const {
    std::string names;
    for (std::size_t i = 0; i < tensors.size(); ++i) {
      if (i == 3) {
        names += " and " + std::to_string(tensors.size() - i) + " more";
        break;
      }
      names += i == 0 ? "" : ", ";
      names += graph_.tensors.at(tensors[i].index).name;
    }
    return names;
  }

  // Writes the phase's slices and returns its cycles.
  double write_phase(std::string& out, std::size_t index, double start,
                     const zc::Compute& compute) {
    const zc::Op& op = graph_.ops.at(compute.op.index);
    const zc::Tensor& output = graph_.tensors.at(op.output.index);
    const zc::TileWork share = zc::tile_work(graph_, schedule_, op);
    const double elements = share.elements;
    const double work = share.work;

    std::vector<Activity> activity(tracks_.size());
    double cycles = 0;
    for (const zc::KernelCommand& command : compute.commands) {
      const double tile_cycles =
          zc::kernel_cycles(work, command.specialization.worker_count, model_);
      cycles = std::max(cycles, tile_cycles);
      const std::size_t track = track_of(command.tile);
      if (track != kNoTrack) {
        activity[track].cycles = std::max(activity[track].cycles, tile_cycles);
        ++activity[track].tiles;
      }
    }
    const std::string kind(zc::operation_name(op.kind));
    Json args{{"phase", index}, {"operation", kind}, {"tiles", compute.commands.size()}};
    if (output.dtype != zc::DType::F32 && zc::is_element_type(output.dtype)) {
      args["dtype"] = zc::dtype_name(output.dtype);
    }
    slice(out, kSchedulePid, op.name, "compute", start, cycles, args);
    for (std::size_t track = 0; track < tracks_.size(); ++track) {
      if (activity[track].tiles == 0) {
        continue;
      }
      slice(out, pid_of(track), op.name, "compute", start, activity[track].cycles,
            Json{{"phase", index},
                 {"operation", kind},
                 {"tiles", activity[track].tiles},
                 {"elements_per_tile", elements},
                 {"work_per_tile", work}});
    }
    return cycles;
  }

  double write_phase(std::string& out, std::size_t index, double start,
                     const zc::Exchange& exchange) {
    std::vector<Activity> activity(tracks_.size());
    std::vector<std::uint16_t> touched;
    std::vector<zc::TensorId> tensors;
    std::uint64_t bytes = 0;
    for (const zc::Transfer& transfer : exchange.transfers) {
      for (const std::uint16_t tile : {transfer.source_tile, transfer.destination_tile}) {
        if (tile >= sent_.size()) {
          throw std::out_of_range("transfer names a tile beyond the schedule's tiles");
        }
        if (touched_[tile] == 0) {
          touched_[tile] = 1;
          touched.push_back(tile);
        }
      }
      sent_[transfer.source_tile] += transfer.bytes;
      received_[transfer.destination_tile] += transfer.bytes;
      bytes += transfer.bytes;
      note_tensor(tensors, transfer.tensor);
      for (const auto& [tile, outgoing] :
           {std::pair{transfer.source_tile, true}, std::pair{transfer.destination_tile, false}}) {
        const std::size_t track = track_of(tile);
        if (track == kNoTrack) {
          continue;
        }
        Activity& a = activity[track];
        (outgoing ? a.bytes_sent : a.bytes_received) += transfer.bytes;
        a.transfers += outgoing ? 1 : 0;
        note_tensor(a.tensors, transfer.tensor);
      }
    }
    double cycles = 0;
    for (const std::uint16_t tile : touched) {
      const double tile_cycles =
          zc::exchange_cycles(std::max(sent_[tile], received_[tile]), model_);
      cycles = std::max(cycles, tile_cycles);
      const std::size_t track = track_of(tile);
      if (track != kNoTrack) {
        activity[track].cycles = std::max(activity[track].cycles, tile_cycles);
        ++activity[track].tiles;
      }
      sent_[tile] = 0;
      received_[tile] = 0;
      touched_[tile] = 0;
    }
    slice(out, kSchedulePid, "exchange: " + tensor_names(tensors), "exchange", start, cycles,
          Json{{"phase", index}, {"transfers", exchange.transfers.size()}, {"bytes", bytes}});
    for (std::size_t track = 0; track < tracks_.size(); ++track) {
      const Activity& a = activity[track];
      if (a.tiles == 0) {
        continue;
      }
      slice(out, pid_of(track), "exchange: " + tensor_names(a.tensors), "exchange", start, a.cycles,
            Json{{"phase", index},
                 {"tiles", a.tiles},
                 {"transfers_sent", a.transfers},
                 {"bytes_sent", a.bytes_sent},
                 {"bytes_received", a.bytes_received}});
    }
    return cycles;
  }

  static void note_tensor(std::vector<zc::TensorId>& tensors, zc::TensorId tensor) {
    if (std::ranges::find(tensors, tensor) == tensors.end()) {
      tensors.push_back(tensor);
    }
  }

  [[nodiscard]] std::size_t track_of(std::uint16_t tile) const {
    return tile < track_of_tile_.size() ? track_of_tile_[tile] : kNoTrack;
  }

  // A counter per track: the most bytes live on any of its tiles, set at the
  // start of every phase where it changes and once more at the end, where
  // the outputs are still live.
  void write_memory(std::string& out, const std::vector<double>& starts) {
    const std::uint64_t phases = schedule_.phases.size();
    std::vector<std::vector<std::uint64_t>> live(tracks_.size(),
                                                 std::vector<std::uint64_t>(phases + 1, 0));
    for (const TileRun& run : tile_runs(schedule_)) {
      const std::vector<std::uint64_t> bytes = live_bytes_by_phase(run, phases);
      std::size_t previous = kNoTrack;
      for (std::size_t tile = run.first_tile; tile <= run.last_tile; ++tile) {
        const std::size_t track = track_of(static_cast<std::uint16_t>(tile));
        if (track == kNoTrack || track == previous) {
          continue;
        }
        previous = track;
        for (std::uint64_t phase = 0; phase <= phases; ++phase) {
          live[track][phase] = std::max(live[track][phase], bytes[phase]);
        }
      }
    }
    for (std::size_t track = 0; track < tracks_.size(); ++track) {
      for (std::uint64_t phase = 0; phase <= phases; ++phase) {
        if (phase > 0 && live[track][phase] == live[track][phase - 1]) {
          continue;
        }
        event(out, Json{{"name", "memory in use"},
                        {"ph", "C"},
                        {"ts", microseconds(starts[phase])},
                        {"pid", pid_of(track)},
                        {"args", Json{{"bytes", live[track][phase]}}}});
      }
    }
  }

  const zc::Graph& graph_;
  const zc::Schedule& schedule_;
  CostModel model_;
  std::vector<Track> tracks_;
  std::vector<std::size_t> track_of_tile_;
  // Bytes each tile sends and receives in the exchange being written, and
  // whether it takes part; all zero between exchanges.
  std::vector<std::uint64_t> sent_;
  std::vector<std::uint64_t> received_;
  std::vector<std::uint8_t> touched_;
  TraceEvents events_;
};

}  // namespace

std::string trace_json(const zc::Graph& graph, const zc::Schedule& schedule, const Summary& summary,
                       const CostModel& model, std::string_view workload) {
  if (!model.valid()) {
    throw std::invalid_argument("the cost model's clock and rates must be above 0");
  }
  return TraceWriter(graph, schedule, summary, model).write(workload);
}

}  // namespace zelkc
