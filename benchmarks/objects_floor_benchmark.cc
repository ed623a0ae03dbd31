// What feeding many objects in turn costs the memory system alone: the
// clock floor of one counted event plus writes to as many cache lines, laid
// out as a statistics object lays them out, with nothing counted. Set
// beside BM_Objects of the same run, it separates what the counting adds
// from what any object with this many lines per event would pay once the
// objects no longer fit the caches together.

#include <benchmark/benchmark.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "large_block_pool.h"
#include "local_clock.h"
#include "thread_annotations.h"

namespace {

// At most the lines one counted event writes: the object's own, which the
// object's address gives; one per property, found through the object; one
// per array (a bin of each distribution, a slot of each history), found
// through the object too, where the event path keeps the addresses the
// previous event wrote (see ask_for_event_lines). The arguments say how many
// of each an event writes.
constexpr std::size_t kObjectLines = 14;
constexpr std::size_t kPropertyLines = 11;
constexpr std::size_t kArrayLines = 6;
// A distribution's bins: 8192 doubles.
constexpr std::size_t kArrayBytes = 64 * 1024;

struct alignas(64) Line {
  std::int64_t word[8];
};

// A property's size, so that properties lie as far apart as the real ones.
struct alignas(64) Property {
  Line line[8];
};

struct alignas(64) LinesOfAnObject {
  quelmar::Mutex mutex;
  std::array<Line, kObjectLines - 1> state{};
  std::array<std::unique_ptr<Property>, kPropertyLines> properties;
  std::array<quelmar::PooledArray<Line>, kArrayLines> arrays;
};

void BM_ObjectsFloor(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  const auto object_lines = static_cast<std::size_t>(state.range(1));
  const auto property_lines = static_cast<std::size_t>(state.range(2));
  const auto array_lines = static_cast<std::size_t>(state.range(3));
  if (object_lines < 1 || object_lines > kObjectLines || property_lines > kPropertyLines ||
      array_lines > kArrayLines) {
    state.SkipWithError("more lines asked for than an object here has");
    return;
  }
  std::vector<std::unique_ptr<LinesOfAnObject>> objects;
  for (std::size_t i = 0; i < count; ++i) {
    auto object = std::make_unique<LinesOfAnObject>();
    for (auto& property : object->properties) property = std::make_unique<Property>();
    for (auto& array : object->arrays) {
      array = quelmar::make_pooled_array<Line>(kArrayBytes / sizeof(Line));
    }
    objects.push_back(std::move(object));
  }
  std::size_t next = 0;
  for (auto _ : state) {
    LinesOfAnObject& o = *objects[next];
    if (count > 1) {
      for (std::size_t p = 0; p < property_lines; ++p) __builtin_prefetch(o.properties[p].get(), 1);
      for (std::size_t a = 0; a < array_lines; ++a) __builtin_prefetch(o.arrays[a].get(), 1);
    }
    o.mutex.lock();
    const timeval arrival = daqevstat::local_time_of_day();
    for (std::size_t l = 1; l < object_lines; ++l) o.state[l - 1].word[0] += arrival.tv_usec;
    for (std::size_t p = 0; p < property_lines; ++p) o.properties[p]->line[0].word[0] += 1;
    benchmark::DoNotOptimize(daqevstat::local_time_seconds());
    const timeval now = daqevstat::local_time_of_day();
    for (std::size_t a = 0; a < array_lines; ++a) o.arrays[a][0].word[0] += now.tv_usec;
    o.mutex.unlock();
    if (++next == count) next = 0;
  }
  state.SetItemsProcessed(state.iterations());
}
// The statistics object's counts (6, 11, 6); the properties' stored values
// in the object's own lines instead (13, 0, 6); then what each kind of line
// adds to the object's own.
BENCHMARK(BM_ObjectsFloor)
    ->ArgNames({"objects", "own", "props", "arrays"})
    ->Args({1, 6, 11, 6})
    ->Args({100, 6, 11, 6})
    ->Args({1000, 6, 11, 6})
    ->Args({1, 13, 0, 6})
    ->Args({1000, 13, 0, 6})
    ->Args({1000, 6, 0, 0})
    ->Args({1000, 6, 11, 0})
    ->Args({1000, 6, 0, 1})
    ->Args({1000, 6, 0, 3})
    ->Args({1000, 6, 0, 6});

}  // namespace
