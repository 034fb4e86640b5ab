// The in-memory file system of the tests, behind fs/filesystem.h.
//
// A volume is a graph of nodes, as on a disk: a directory maps names to
// nodes, and a node with two names is a file with two hard links. Nodes are
// never freed, only unnamed, so a walk holds on to a directory it is in
// whatever happens to its name, as a real walk holds an open descriptor.
#include "testing/filesystem-fake.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <utility>
#include <vector>

#include "names/name_search.h"
#include "fs/path_identity.h"
#include "fs/extent_maps_ahead.h"
#include "fs/read_ahead.h"
#include "fs/system_path.h"
#include "walk/tree_walk.h"
#include "fs/wildcard.h"

namespace platform {

#ifdef _WIN32
const native_char path_separator = L'\\';
#else
const native_char path_separator = '/';
#endif

const bool identities_find_cycles = true;

namespace {

constexpr std::size_t kRoot = 0;
constexpr std::size_t kNone = static_cast<std::size_t>(-1);

struct node {
  entry_facts facts;
  std::int32_t names = 0;       // the entries that name it
  std::int32_t fixed_links = -1;  // a link count set by the test, or -1
  native_string target;          // a symbolic link's: from the root, or
  bool relative = false;         // from the directory of each of its names
  std::vector<mapped_extent> extents;  // a file's extents, as its map gives them
  bool automount = false;        // listed as a plain directory
  std::map<native_string, std::size_t> children;
  // A directory's changes of its names so far: its change stamp.
  std::int64_t changes = 0;
};

struct fault {
  fake_operation operation;
  native_string path;  // canonical
  error_code error;
  examination outcome;
};

struct listing_hook {
  native_string path;  // canonical
  std::function<void()> change;
};

struct read_ahead_fault {
  std::size_t node;
  error_code error;
};

struct file_system {
  std::vector<node> nodes;
  std::vector<fault> faults;
  std::vector<listing_hook> hooks;
  std::vector<listing_hook> map_hooks;  // run before a worker maps a file
  std::uint64_t volumes = 1;
  std::int64_t keys = 1;
  fake_calls calls;
  // Reading ahead by hand: the queue of the walk under way, when it has one.
  bool read_ahead_by_hand = false;
  read_ahead* queue = nullptr;
  std::vector<read_ahead_fault> read_ahead_faults;
  // What the volumes told of extents say, by volume; the others share
  // nothing and map nothing.
  std::vector<std::pair<std::uint64_t, volume_extents>> extent_volumes;
  // What a walk may hold open: as many as it likes, unless a test says.
  fake_descriptors descriptors{static_cast<std::size_t>(-1) / 2, 0, static_cast<std::size_t>(-1) / 4};
  // The directory whose listing the queue reads the facts of, from the
  // moment the walk asks until it says it is done with them; kNone: none.
  std::size_t facts_shared_in = kNone;
};

// An empty file system: its root directory alone.
file_system empty() {
  file_system fs;
  node root;
  root.facts.is_directory = true;
  root.facts.identity = file_identity{1, fs.keys++};
  fs.nodes.push_back(root);
  return fs;
}

file_system& disk() {
  static file_system instance = empty();
  return instance;
}

void reset() { disk() = empty(); }

bool is_separator(native_char c) {
#ifdef _WIN32
  return c == '\\' || c == '/';
#else
  return c == '/';
#endif
}

// The components of a path, "." and empty ones left out and ".." taking
// the last one back, as the system reads a path whose links are resolved.
// A relative path starts at the root too.
std::vector<native_string> components(native_string_view path) {
  std::vector<native_string> parts;
  std::size_t at = 0;
  while (at <= path.size()) {
    std::size_t end = at;
    while (end < path.size() && !is_separator(path[end])) ++end;
    const native_string_view part = path.substr(at, end - at);
    if (part == native_from_ascii("..")) {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != native_from_ascii(".")) {
      parts.emplace_back(part);
    }
    at = end + 1;
  }
  return parts;
}

// The one spelling of a path that faults and hooks are filed under.
native_string canonical(native_string_view path) {
  native_string joined;
  for (const native_string& part : components(path)) {
    joined += '/';
    joined += part;
  }
  return joined;
}

bool is_link(const node& n) { return n.facts.kind == entry_kind::symlink; }

std::size_t resolve(std::size_t start, const std::vector<native_string>& parts, bool follow_last,
                    int links_left, std::size_t* holder = nullptr);

// The node a link leads to, or kNone. `directory` is the directory that
// holds the name the link was reached by (kNone: not known), where a
// relative target is read from, as the system reads it.
std::size_t follow(std::size_t index, std::size_t directory, int links_left) {
  while (index != kNone && is_link(disk().nodes[index])) {
    if (links_left-- == 0) return kNone;
    const node& link = disk().nodes[index];
    const std::size_t start = link.relative ? directory : kRoot;
    if (start == kNone) return kNone;
    index = resolve(start, components(link.target), false, links_left, &directory);
  }
  return index;
}

// The node at `parts` from the directory `start`; `holder`, when not null,
// gets the directory that holds the last component's name (kNone for no
// component).
std::size_t resolve(std::size_t start, const std::vector<native_string>& parts, bool follow_last,
                    int links_left, std::size_t* holder) {
  std::size_t at = start;
  std::size_t directory = kNone;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    at = follow(at, directory, links_left);
    if (at == kNone || !disk().nodes[at].facts.is_directory) return kNone;
    const auto& children = disk().nodes[at].children;
    const auto found = children.find(parts[i]);
    if (found == children.end()) return kNone;
    directory = at;
    at = found->second;
  }
  if (holder) *holder = directory;
  return follow_last ? follow(at, directory, links_left) : at;
}

// The node at `path`, or kNone; the last component followed when it is a
// link only if `follow_last`. `holder` as for resolve.
std::size_t lookup(native_string_view path, bool follow_last, std::size_t* holder = nullptr) {
  if (path.empty()) return kNone;  // as no system takes an empty path
  return resolve(kRoot, components(path), follow_last, 8, holder);
}

// The facts of a node, as an examination reads them through a name in the
// directory `directory` (kNone: not known), from which a link's relative
// target is read.
entry_facts facts_of(std::size_t index, std::size_t directory) {
  const node& n = disk().nodes[index];
  entry_facts facts = n.facts;
  facts.links = n.fixed_links >= 0 ? n.fixed_links : n.names;
  if (is_link(n)) {
    // As the POSIX half: the target is read only where it decides.
    const std::size_t target = target_decides_kind(facts) ? follow(index, directory, 8) : kNone;
    facts.is_directory = target != kNone && disk().nodes[target].facts.is_directory;
  }
  return facts;
}

const fault* fault_at(fake_operation operation, native_string_view path) {
  const native_string where = canonical(path);
  for (const fault& f : disk().faults) {
    if (f.operation == operation && f.path == where) return &f;
  }
  return nullptr;
}

// The directory that holds `path` and the name in it, making missing
// directories on the way when `make`.
std::pair<std::size_t, native_string> parent_and_name(native_string_view path, bool make) {
  std::vector<native_string> parts = components(path);
  native_string name = parts.back();
  parts.pop_back();
  std::size_t at = kRoot;
  for (const native_string& part : parts) {
    auto& children = disk().nodes[at].children;
    const auto found = children.find(part);
    if (found != children.end()) {
      at = found->second;
      continue;
    }
    if (!make) return {kNone, name};
    node directory;
    directory.facts.is_directory = true;
    directory.facts.identity = file_identity{disk().nodes[at].facts.identity.volume, disk().keys++};
    directory.names = 1;
    disk().nodes.push_back(directory);
    const std::size_t made = disk().nodes.size() - 1;
    disk().nodes[at].children.emplace(part, made);
    ++disk().nodes[at].changes;
    at = made;
  }
  return {at, name};
}

// Names `index` at `path`, replacing what was there.
void name_node(native_string_view path, std::size_t index) {
  const auto [parent, name] = parent_and_name(path, true);
  auto& children = disk().nodes[parent].children;
  const auto old = children.find(name);
  if (old != children.end()) {
    --disk().nodes[old->second].names;
    children.erase(old);
  }
  children.emplace(name, index);
  ++disk().nodes[parent].changes;
  ++disk().nodes[index].names;
}

// Makes a node for `path` on the volume of its directory.
std::size_t make_node(native_string_view path, const node& made) {
  const std::size_t parent = parent_and_name(path, true).first;
  disk().nodes.push_back(made);
  const std::size_t index = disk().nodes.size() - 1;
  disk().nodes[index].facts.identity =
      file_identity{disk().nodes[parent].facts.identity.volume, disk().keys++};
  name_node(path, index);
  return index;
}

// The child `name` of the directory `index`, or kNone.
std::size_t child_of(std::size_t index, native_string_view name) {
  const auto& children = disk().nodes[index].children;
  const auto found = children.find(native_string(name));
  return found == children.end() ? kNone : found->second;
}

std::size_t existing(native_string_view path) {
  const std::size_t index = lookup(path, false);
  if (index == kNone) std::abort();  // the test names an entry it never made
  return index;
}

// The queue's requests, carried out when the test says so (below).
bool open_ahead(const directory_place& parent, const native_string& name,
                const entry_facts* seen, opened_directory& opened);
void read_facts_ahead(const directory_place& place, const directory_listing& listing,
                      const std::uint32_t* order, std::size_t count, entry_reading* readings,
                      extent_maps* maps);
void close_ahead(directory_handle handle);
void close_level_ahead(directory_handle) {
  ++disk().calls.levels_closed;
  ++disk().calls.levels_closed_by_queue;
}
bool look_at(directory_handle parent, const native_char* name, file_identity& identity,
             change_stamp& stamp);
const read_ahead_operations fake_read_ahead = {open_ahead, read_facts_ahead, look_at};

}  // namespace

// The nodes of the directories the walk is inside of, from its PATH down;
// every level counts as an open descriptor, as on POSIX. A queue with no
// thread: it reads ahead only by hand, when the test asks.
struct walk_state {
  std::vector<std::size_t> levels;
  walk_extent_maps walk_maps;  // before the queue, whose places point here
  read_ahead ahead{fake_read_ahead, 0, disk().read_ahead_by_hand};
};

namespace {

// Runs the change a test hung on the listing of `path`, once.
void run_listing_hook(const native_string& path) {
  // Taken out before it runs: a change may add hooks of its own.
  const native_string where = canonical(path);
  std::vector<listing_hook>& hooks = disk().hooks;
  for (std::size_t i = 0; i < hooks.size(); ++i) {
    if (hooks[i].path != where) continue;
    const std::function<void()> change = std::move(hooks[i].change);
    hooks.erase(hooks.begin() + static_cast<std::ptrdiff_t>(i));
    change();
    break;
  }
}

// Lists the children of `index` as the walk sees them.
void list_node(std::size_t index, directory_listing& listing) {
  for (const auto& [name, child] : disk().nodes[index].children) {
    const entry_facts facts = facts_of(child, index);
    listed_entry entry;
    entry.name_offset = listing.names.size();
    entry.name_length = static_cast<std::uint16_t>(name.size());
    entry.is_directory = facts.is_directory;
    entry.is_reparse = facts.kind != entry_kind::normal && !disk().nodes[child].automount;
    listing.names += name;
    listing.entries.push_back(entry);
  }
}

// The change stamp of the directory `index`.
change_stamp stamp_of(std::size_t index) {
  return {disk().nodes[index].changes, 0, 0, 0};
}

// The directory the walk is in, where requests pin it.
directory_place current_place(const walk_cursor& cursor) {
  directory_place place;
  if (cursor.state->levels.empty()) return place;
  const std::size_t index = cursor.state->levels.back();
  place.handle = static_cast<directory_handle>(index);
  place.volume = disk().nodes[index].facts.identity.volume;
  place.walk_maps = &cursor.state->walk_maps;
  return place;
}

}  // namespace

walk_cursor::walk_cursor() : state(new walk_state) {
  if (!disk().read_ahead_by_hand) return;
  const fake_descriptors& budget = disk().descriptors;
  state->ahead.descriptors.total = budget.total;
  state->ahead.descriptors.kept_for_levels = budget.kept_for_levels;
  state->ahead.descriptors.most_ahead = budget.most_ahead;
  disk().queue = &state->ahead;
}

walk_cursor::~walk_cursor() {
  // The walk is done with its listing before the queue ends, so that a
  // reading the queue would make after that is seen as one too late.
  state->ahead.end_facts();
  disk().facts_shared_in = kNone;
  if (disk().queue == &state->ahead) disk().queue = nullptr;
}

namespace {

// The walk enters or leaves a directory: the queue reads no more facts of
// the last listing once this returns.
void end_directory(walk_state& walk) {
  walk.ahead.end_directory();
  disk().facts_shared_in = kNone;
}

result<entering> enter_adopting(walk_cursor& cursor, const native_string& path,
                                native_string_view name, const file_identity* identity,
                                opened_directory* adopted) {
  walk_state& walk = *cursor.state;
  end_directory(walk);  // the entries of the parent are all visited
  std::vector<std::size_t>& levels = walk.levels;
  const native_char* child = path.c_str() + (path.size() - name.size());
  const directory_handle parent =
      levels.empty() ? -1 : static_cast<directory_handle>(levels.back());
  if (walk.ahead.adopt(levels.size(), adopted, parent, child, identity)) {
    levels.push_back(static_cast<std::size_t>(adopted->release()));
    --disk().calls.opened_ahead_and_held;
    ++disk().calls.adopted;
    ++walk.ahead.descriptors.levels;
    return {entering::entered};
  }
  ++disk().calls.entered;
  if (const fault* f = fault_at(fake_operation::enter, path))
    return {entering::no_attributes, f->error};
  std::size_t index = kNone;
  if (levels.empty()) {
    // The PATH is followed when it is a link to a directory.
    index = lookup(path, true);
  } else {
    const auto& children = disk().nodes[levels.back()].children;
    const auto found = children.find(native_string(name));
    if (found != children.end()) index = found->second;
  }
  if (index == kNone) return {entering::no_attributes, fake_no_such_entry};
  const node& entered = disk().nodes[index];
  if (is_link(entered) || !entered.facts.is_directory) return {entering::not_a_directory};
  // Another directory standing where the listing saw this one is not it.
  if (identity && !(entered.facts.identity == *identity))
    return {entering::no_attributes, fake_no_such_entry};
  levels.push_back(index);
  ++walk.ahead.descriptors.levels;
  return {entering::entered};
}

}  // namespace

result<entering> enter_directory(walk_cursor& cursor, const native_string& path,
                                 native_string_view name, const file_identity* identity) {
  walk_state& walk = *cursor.state;
  return walk.ahead.enter(walk.levels.size(), name, [&](opened_directory* opened) {
    return enter_adopting(cursor, path, name, identity, opened);
  });
}

bool current_identity(const walk_cursor& cursor, file_identity& identity) {
  if (cursor.state->levels.empty()) return false;
  identity = disk().nodes[cursor.state->levels.back()].facts.identity;
  return true;
}

void leave_directory(walk_cursor& cursor) {
  walk_state& walk = *cursor.state;
  end_directory(walk);
  if (walk.levels.empty()) return;
  // The queue closes it where a worker still reads in it.
  if (!walk.ahead.end_level(walk.levels.size() - 1, close_level_ahead)) ++disk().calls.levels_closed;
  walk.levels.pop_back();
  --walk.ahead.descriptors.levels;
}

result<> list_directory(walk_cursor& cursor, const native_string& path) {
  walk_state& walk = *cursor.state;
  directory_listing& listing = cursor.listing;
  const bool adopted = walk.ahead.start_listing(listing);
  disk().facts_shared_in = kNone;
  if (walk.levels.empty()) return failed(fake_no_such_entry);
  // As the worker listed it, with the readings it made, where it did.
  if (!adopted) {
    ++disk().calls.listed;
    if (const fault* f = fault_at(fake_operation::list, path)) return failed(f->error);
    list_node(walk.levels.back(), listing);
    // An error that ends the listing after what it read: the walk reports
    // it and walks the entries all the same.
    if (const fault* f = fault_at(fake_operation::list_cut_short, path)) {
      listing.cut_short = true;
      return failed(f->error);
    }
  }
  disk().facts_shared_in = walk.levels.back();
  walk.ahead.read_listed(current_place(cursor), listing, fake_tree::kFewestEntriesShared);
  run_listing_hook(path);
  walk.ahead.open_subdirectories(walk.levels.size() - 1, current_place(cursor), listing);
  return succeeded();
}

namespace {

// Examines the node `index`, named in the directory `directory`.
result<examination> examine(native_string_view path, std::size_t index, std::size_t directory,
                            entry_facts& facts) {
  ++disk().calls.examined;
  if (const fault* f = fault_at(fake_operation::examine, path)) return {f->outcome, f->error};
  if (index == kNone) return {examination::not_found, fake_no_such_entry};
  facts = facts_of(index, directory);
  return {examination::examined};
}

// Whether a test made entering or listing the directory `index` fail.
bool fails_to_open(std::size_t index) {
  for (const read_ahead_fault& f : disk().read_ahead_faults)
    if (f.node == index) return true;
  for (const fault& f : disk().faults) {
    const bool opens = f.operation == fake_operation::enter || f.operation == fake_operation::list;
    if (opens && lookup(f.path, false) == index) return true;
  }
  return false;
}

// Examines the entry `name` of the directory `index` as a worker reads it,
// failing as the test made it fail under whichever path it named it.
result<examination> examine_child(std::size_t index, native_string_view name, entry_facts& facts) {
  for (const fault& f : disk().faults) {
    if (f.operation != fake_operation::examine) continue;
    const auto [parent, fault_name] = parent_and_name(f.path, false);
    if (parent == index && fault_name == name) {
      ++disk().calls.examined;
      return {f.outcome, f.error};
    }
  }
  return examine(native_string(), child_of(index, name), index, facts);
}

}  // namespace

result<examination> examine_entry(walk_cursor& cursor, const native_string& path,
                                  const listed_entry& entry, entry_facts& facts) {
  walk_state& walk = *cursor.state;
  entry_reading reading;
  const bool read_ahead = walk.ahead.reading_of(entry, reading);
  walk.walk_maps.note_examined(entry, reading);
  if (read_ahead) {
    facts = reading.facts;
    return reading.examined;
  }
  // Read when asked, from the directory as it is now: an entry removed
  // since the listing is not found.
  std::size_t index = kNone;
  const std::size_t directory = walk.levels.empty() ? kNone : walk.levels.back();
  if (directory != kNone)
    index = child_of(directory, native_string_view(path).substr(path.size() - entry.name_length));
  return examine(path, index, directory, facts);
}

volume_extents read_volume_extents(walk_cursor& cursor, const native_string&) {
  ++disk().calls.volumes_asked;
  if (cursor.state->levels.empty()) return volume_extents();
  const std::uint64_t volume = disk().nodes[cursor.state->levels.back()].facts.identity.volume;
  for (const auto& told : disk().extent_volumes) {
    if (told.first != volume) continue;
    cursor.state->walk_maps.note_volume(volume, told.second);
    return told.second;
  }
  volume_extents none;
  none.addresses.low = volume;
  return none;
}

result<> read_extent_map(walk_cursor& cursor, const native_string& path,
                         const listed_entry& entry, const entry_facts& facts,
                         const volume_extents&, std::vector<mapped_extent>& extents) {
  if (cursor.state->walk_maps.take(entry, facts, extents)) return succeeded();
  ++disk().calls.extent_maps_read;
  if (const fault* f = fault_at(fake_operation::extents, path)) return failed(f->error);
  std::size_t index = kNone;
  if (!cursor.state->levels.empty())
    index = child_of(cursor.state->levels.back(),
                     native_string_view(path).substr(path.size() - entry.name_length));
  // The entry must still be the file examined.
  if (index == kNone || !(disk().nodes[index].facts.identity == facts.identity))
    return failed(fake_no_such_entry);
  const std::vector<mapped_extent>& own = disk().nodes[index].extents;
  extents.insert(extents.end(), own.begin(), own.end());
  return succeeded();
}

namespace {

// Whether a test made a worker's map of the entry `name` of the directory
// `index` fail, under whichever path it named it; first runs the change a
// test hung on that map, once.
bool fails_to_map_ahead(std::size_t index, native_string_view name) {
  std::vector<listing_hook>& hooks = disk().map_hooks;
  for (std::size_t i = 0; i < hooks.size(); ++i) {
    const auto [parent, hook_name] = parent_and_name(hooks[i].path, false);
    if (parent != index || hook_name != name) continue;
    const std::function<void()> change = std::move(hooks[i].change);
    hooks.erase(hooks.begin() + static_cast<std::ptrdiff_t>(i));
    change();
    break;
  }
  for (const fault& f : disk().faults) {
    if (f.operation != fake_operation::extents && f.operation != fake_operation::extents_ahead)
      continue;
    const auto [parent, fault_name] = parent_and_name(f.path, false);
    if (parent == index && fault_name == name) return true;
  }
  return false;
}

// As a worker of the POSIX half maps them: the files among the entries
// `order[0..count)` (null: in listing order) of `listing` of the directory
// `index`, read as `readings`, that maps_ahead says; only the very file
// read, and one whose map fails is left to the walk.
void map_ahead(std::size_t index, const directory_listing& listing, const std::uint32_t* order,
               std::size_t count, entry_reading* readings, extent_maps& maps) {
  maps.start_afresh();
  const std::uint64_t volume = disk().nodes[index].facts.identity.volume;
  for (std::size_t i = 0; i < count; ++i) {
    entry_reading& reading = readings[i];
    if (!maps_ahead(reading, volume)) continue;
    const native_string_view name = listing.name(listing.entries[order ? order[i] : i]);
    ++disk().calls.extent_maps_read_ahead;
    if (fails_to_map_ahead(index, name)) continue;
    const std::size_t child = child_of(index, name);
    if (child == kNone || !(disk().nodes[child].facts.identity == reading.facts.identity))
      continue;
    const std::size_t first = maps.extents.size();
    const std::vector<mapped_extent>& own = disk().nodes[child].extents;
    maps.extents.insert(maps.extents.end(), own.begin(), own.end());
    keep_map(reading, maps, first);
  }
}

bool open_ahead(const directory_place& parent, const native_string& name,
                const entry_facts* seen, opened_directory& opened) {
  const std::size_t index = child_of(static_cast<std::size_t>(parent.handle), name);
  if (index == kNone || fails_to_open(index)) return false;
  const node& child = disk().nodes[index];
  // As the POSIX half: never through a link, never onto another volume,
  // judged by the reading made with the parent's listing where there is
  // one; and never a directory other than the one that reading saw.
  const entry_facts& facts = seen ? *seen : child.facts;
  if (!opens_ahead(facts, parent) || !(facts.identity == child.facts.identity)) return false;
  // The walk lists a directory too large for the queue to hold itself.
  if (child.children.size() > kMostEntriesKeptAhead) return false;
  ++disk().calls.opened_ahead;
  ++disk().calls.opened_ahead_and_held;
  opened.start_afresh(child.facts.identity, stamp_of(index));
  list_node(index, opened.listing);
  opened.readings.resize(opened.listing.entries.size());
  for (std::size_t k = 0; k < opened.readings.size(); ++k) {
    entry_reading& reading = opened.readings[k];
    reading.map = mapped_ahead();
    reading.examined =
        examine_child(index, opened.listing.name(opened.listing.entries[k]), reading.facts);
  }
  if (extent_maps* maps = maps_for(opened, parent))
    map_ahead(index, opened.listing, nullptr, opened.readings.size(), opened.readings.data(), *maps);
  keep_readings(opened, nullptr);
  opened.handle = static_cast<directory_handle>(index);
  opened.close = close_ahead;
  return true;
}

void read_facts_ahead(const directory_place& place, const directory_listing& listing,
                      const std::uint32_t* order, std::size_t count, entry_reading* readings,
                      extent_maps* maps) {
  disk().calls.examined_by_queue += static_cast<int>(count);
  if (static_cast<std::size_t>(place.handle) != disk().facts_shared_in) {
    // The walk let this listing go: its entries are no longer there to read.
    disk().calls.examined_by_queue_too_late += static_cast<int>(count);
    return;
  }
  for (std::size_t i = 0; i < count; ++i) {
    const listed_entry& entry = listing.entries[order[i]];
    readings[i].map = mapped_ahead();
    readings[i].examined = examine_child(static_cast<std::size_t>(place.handle),
                                         listing.name(entry), readings[i].facts);
  }
  if (maps && maps_files_in(place))
    map_ahead(static_cast<std::size_t>(place.handle), listing, order, count, readings, *maps);
}

void close_ahead(directory_handle) { --disk().calls.opened_ahead_and_held; }

bool look_at(directory_handle parent, const native_char* name, file_identity& identity,
             change_stamp& stamp) {
  const std::size_t index = child_of(static_cast<std::size_t>(parent), name);
  if (index == kNone) return false;
  identity = disk().nodes[index].facts.identity;
  stamp = stamp_of(index);
  return true;
}

}  // namespace

result<examination> examine_path(const native_string& path, entry_facts& facts) {
  std::size_t directory = kNone;
  const std::size_t index = lookup(path, false, &directory);
  return examine(path, index, directory, facts);
}

result<> find_pattern_matches(const native_string& pattern, std::vector<pattern_match>& matches) {
  matches.clear();
  std::size_t last = pattern.size();
  while (last > 0 && !is_separator(pattern[last - 1])) --last;
  const native_string directory = last > 0 ? pattern.substr(0, last) : native_from_ascii(".");
  const native_string_view wildcard = native_string_view(pattern).substr(last);
  if (const fault* f = fault_at(fake_operation::list, directory)) return failed(f->error);
  const std::size_t index = lookup(directory, true);
  if (index == kNone || !disk().nodes[index].facts.is_directory)
    return failed(fake_no_such_entry);
  // "." and ".." match like any name, as both real halves list them.
  for (const char* dots : {".", ".."}) {
    if (matches_wildcard(wildcard, native_from_ascii(dots)))
      matches.push_back(pattern_match{native_from_ascii(dots), true});
  }
  for (const auto& [name, child] : disk().nodes[index].children) {
    if (matches_wildcard(wildcard, name))
      matches.push_back(pattern_match{name, facts_of(child, index).is_directory});
  }
  std::sort(matches.begin(), matches.end(),
            [](const pattern_match& a, const pattern_match& b) { return a.name < b.name; });
  if (matches.empty()) return failed(fake_no_such_entry);
  return succeeded();
}

native_string join_pattern_match(const native_string& pattern, native_string_view name) {
  std::size_t last = pattern.size();
  while (last > 0 && !is_separator(pattern[last - 1])) --last;
  native_string joined = pattern.substr(0, last);
  joined += name;
  return joined;
}

namespace {

// The mount that holds the entry at `path`, as the POSIX half finds it: the
// nearest directory above it that is the top of a mount (a reparse
// directory), or the root. Sets `top` to its path and `below` to the
// entry's path from there. False where the directory part does not lead
// anywhere.
bool mount_of(native_string_view path, native_string& top, native_string& below) {
  std::vector<native_string> parts = components(path);
  if (parts.empty()) return false;
  std::size_t at = kRoot;
  std::size_t directory = kNone;
  std::size_t top_parts = 0;
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    at = follow(at, directory, 8);
    if (at == kNone || !disk().nodes[at].facts.is_directory) return false;
    const auto found = disk().nodes[at].children.find(parts[i]);
    if (found == disk().nodes[at].children.end()) return false;
    directory = at;
    at = found->second;
    const node& n = disk().nodes[at];
    if (n.facts.is_directory && n.facts.kind == entry_kind::reparse) top_parts = i + 1;
  }
  top.clear();
  below.clear();
  for (std::size_t i = 0; i < parts.size(); ++i) {
    native_string& into = i < top_parts ? top : below;
    into += path_separator;
    into += parts[i];
  }
  if (top.empty()) top = native_string(1, path_separator);
  return true;
}

}  // namespace

// As the POSIX half does: a single-link file or a directory is named by its
// own path; the names of any other file are searched on the mount it lives
// on, whatever the volumes of its directories (name_search.h).
void find_link_names(std::vector<link_name_request>& requests, link_name_lists& lists) {
  std::vector<mount_search> searches;
  std::vector<std::size_t> first_request;
  std::map<native_string, std::size_t> by_top;
  native_string top;
  native_string below;
  for (std::size_t r = 0; r < requests.size(); ++r) {
    link_name_request& request = requests[r];
    request.names = lists.size();
    if (!mount_of(request.path, top, below)) {
      lists.emplace_back();
      continue;
    }
    const entry_facts& facts = request.facts;
    if (facts.links <= 1 || (facts.is_directory && facts.kind != entry_kind::symlink)) {
      lists.emplace_back(1, below);
      continue;
    }
    auto known = by_top.find(top);
    if (known == by_top.end()) {
      known = by_top.emplace(top, searches.size()).first;
      searches.emplace_back();
      searches.back().top = top;
      first_request.push_back(r);
    }
    request.names = searches[known->second].want(facts, below, lists);
  }
  std::size_t walks = 0;
  for (std::size_t i = 0; i < searches.size(); ++i) {
    search_mount(searches[i], lists, walks);
    requests[first_request[i]].unsearched = std::move(searches[i].unsearched);
  }
}

bool path_identity(const native_string& path, file_identity& identity) {
  const std::size_t index = lookup(path, true);
  if (index == kNone) return false;
  identity = disk().nodes[index].facts.identity;
  return true;
}

// Every path serves as it is: the fake takes any spelling.
native_string system_path(const native_string& path) { return path; }

// The tree of one test.

namespace {

native_string under_tree(const native_string& relative) {
  native_string path = native_from_ascii("/tree");
  path[0] = path_separator;
  if (relative.empty()) return path;
  path += path_separator;
  for (const native_char c : relative) path += c == '/' ? path_separator : c;
  return path;
}

}  // namespace

fake_tree::fake_tree() {
  reset();
  directory("");
}

fake_tree::~fake_tree() { reset(); }

native_string fake_tree::path(const tree_path& relative) const {
  return under_tree(relative.text());
}

void fake_tree::file(const tree_path& relative, std::int64_t size) const {
  node made;
  made.facts.size = size;
  make_node(path(relative), made);
}

void fake_tree::directory(const tree_path& relative) const {
  if (lookup(path(relative), false) != kNone) return;
  node made;
  made.facts.is_directory = true;
  make_node(path(relative), made);
}

void fake_tree::hard_link(const tree_path& existing_path, const tree_path& relative) const {
  name_node(path(relative), existing(path(existing_path)));
}

void fake_tree::symlink(const tree_path& relative, const tree_path& target) const {
  node made;
  made.facts.kind = entry_kind::symlink;
  made.target = path(target);
  made.facts.size = static_cast<std::int64_t>(target.text().size());
  make_node(path(relative), made);
}

void fake_tree::relative_symlink(const tree_path& relative, const tree_path& target) const {
  node made;
  made.facts.kind = entry_kind::symlink;
  made.target = target.text();
  made.relative = true;
  made.facts.size = static_cast<std::int64_t>(target.text().size());
  make_node(path(relative), made);
}

void fake_tree::special(const tree_path& relative) const {
  node made;
  made.facts.kind = entry_kind::reparse;
  make_node(path(relative), made);
}

void fake_tree::mount(const tree_path& relative) const {
  node made;
  made.facts.is_directory = true;
  made.facts.kind = entry_kind::reparse;
  const std::size_t index = make_node(path(relative), made);
  disk().nodes[index].facts.identity = file_identity{++disk().volumes, disk().keys++};
}

void fake_tree::automount(const tree_path& relative) const {
  node made;
  made.facts.is_directory = true;
  made.facts.kind = entry_kind::reparse;
  made.automount = true;
  make_node(path(relative), made);
}

void fake_tree::subvolume(const tree_path& relative) const {
  node made;
  made.facts.is_directory = true;
  const std::size_t index = make_node(path(relative), made);
  disk().nodes[index].facts.identity = file_identity{++disk().volumes, disk().keys++};
}

void fake_tree::bind(const tree_path& existing_path, const tree_path& relative) const {
  name_node(path(relative), existing(path(existing_path)));
}

void fake_tree::remove(const tree_path& relative) const {
  const auto [parent, name] = parent_and_name(path(relative), false);
  if (parent == kNone) return;
  auto& children = disk().nodes[parent].children;
  const auto found = children.find(name);
  if (found == children.end()) return;
  --disk().nodes[found->second].names;
  children.erase(found);
  ++disk().nodes[parent].changes;
}

void fake_tree::rename(const tree_path& from, const tree_path& to) const {
  const std::size_t index = existing(path(from));
  remove(from);
  name_node(path(to), index);
}

void fake_tree::set_links(const tree_path& relative, std::int32_t links) const {
  disk().nodes[existing(path(relative))].fixed_links = links;
}

void fake_tree::set_allocated(const tree_path& relative, std::int64_t bytes) const {
  disk().nodes[existing(path(relative))].facts.allocated = bytes;
}

void fake_tree::number_from(std::int64_t first) const { disk().keys = first; }

file_identity fake_tree::identity(const tree_path& relative) const {
  return disk().nodes[existing(path(relative))].facts.identity;
}

void fake_tree::fail(fake_operation operation, const tree_path& relative, error_code error,
                     examination outcome) const {
  disk().faults.push_back(fault{operation, canonical(path(relative)), error, outcome});
}

void fake_tree::after_listing(const tree_path& relative, std::function<void()> change) const {
  disk().hooks.push_back(listing_hook{canonical(path(relative)), std::move(change)});
}

void fake_tree::before_map_ahead(const tree_path& relative, std::function<void()> change) const {
  disk().map_hooks.push_back(listing_hook{canonical(path(relative)), std::move(change)});
}

void fake_tree::share_extents(const tree_path& relative) const {
  volume_extents sharing;
  sharing.shares = true;
  sharing.addresses.low = identity(relative).volume;
  set_volume_extents(relative, sharing);
}

void fake_tree::set_volume_extents(const tree_path& relative, const volume_extents& volume) const {
  const std::uint64_t id = identity(relative).volume;
  auto& told = disk().extent_volumes;
  for (auto& known : told)
    if (known.first == id) {
      known.second = volume;
      return;
    }
  told.emplace_back(id, volume);
}

void fake_tree::set_shared_extents(const tree_path& relative,
                                   std::vector<mapped_extent> extents) const {
  disk().nodes[existing(path(relative))].extents = std::move(extents);
}

fake_calls fake_tree::calls() const {
  fake_calls calls = disk().calls;
  if (disk().queue) calls.descriptors_ahead = disk().queue->descriptors.ahead;
  return calls;
}

void fake_tree::read_ahead_by_hand() const { disk().read_ahead_by_hand = true; }

std::size_t fake_tree::complete_read_ahead(std::size_t most) const {
  return disk().queue ? disk().queue->complete(most) : 0;
}

std::size_t fake_tree::claim_read_ahead(std::size_t most) const {
  return disk().queue ? disk().queue->complete(most, true) : 0;
}

void fake_tree::descriptors_for_a_walk(const fake_descriptors& budget) const {
  disk().descriptors = budget;
}

std::size_t fake_tree::finish_claimed_read_ahead(std::size_t most) const {
  return disk().queue ? disk().queue->finish_claimed(most) : 0;
}

void fake_tree::fail_read_ahead(const tree_path& relative) const {
  disk().read_ahead_faults.push_back(read_ahead_fault{existing(path(relative)), 0});
}

}  // namespace platform
