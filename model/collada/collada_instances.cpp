// The visual scene as a graph of placed instances: node transforms, instance_geometry,
// instance_controller and instance_node at any depth, bound materials, up axis and unit. The
// walk keeps its own stack (nesting depth is the document's choice) and bounds its work, so a
// hostile document costs warnings, not time or memory.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "model/collada/collada_context.h"
#include "model/collada/collada_transform.h"
#include "model/model_data.h"
#include "model/model_scene.h"
#include "platform/number_text.h"
#include "platform/text.h"

namespace collada {
namespace {

// Beyond these, instance_node chains that multiply are cut off (with one warning).
constexpr int64_t kMaxInstances = 1000000;
constexpr int64_t kMaxNodeVisits = 4000000;
// Node visits all skinned instances may spend looking for their joints.
constexpr int64_t kMaxJointSearch = 4000000;
// Controllers a skin may lead through (a skin of a morph of ...) before its geometry.
constexpr int kMaxControllerChain = 8;

using NodeKey = const void*;
NodeKey keyOf(pugi::xml_node node) { return node.internal_object(); }

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  return s;
}

bool isNode(pugi::xml_node element) { return nameIs(element.name(), "node"); }

// Calls f(node) for every "node" element under `root` (itself included when it is one),
// without recursion, until `budget` runs out.
template <class F>
void forEachNodeUnder(pugi::xml_node root, int64_t& budget, F&& f) {
  std::vector<pugi::xml_node> pending{root};
  while (!pending.empty() && budget > 0) {
    pugi::xml_node node = pending.back();
    pending.pop_back();
    --budget;
    if (isNode(node)) f(node);
    // Nodes sit in nodes, or right under the root (a library or a visual scene).
    for (pugi::xml_node child = node.last_child(); child; child = child.previous_sibling()) {
      if (isNode(child)) pending.push_back(child);
    }
  }
}

// The nodes on the walk's path, which instance_node must not lead back to. Every node placed
// goes in and out once, so this is a flat table of pointers (linear probing, at most half
// full) rather than a node-based set that allocates for each.
class PathSet {
 public:
  bool contains(NodeKey key) const {
    if (slots_.empty()) return false;
    for (std::size_t i = slotOf(key);; i = (i + 1) & mask()) {
      if (slots_[i] == key) return true;
      if (slots_[i] == nullptr) return false;
    }
  }

  void insert(NodeKey key) {
    if ((count_ + 1) * 2 > slots_.size()) grow();
    std::size_t i = slotOf(key);
    for (; slots_[i] != nullptr; i = (i + 1) & mask()) {
      if (slots_[i] == key) return;
    }
    slots_[i] = key;
    ++count_;
  }

  void erase(NodeKey key) {
    if (slots_.empty()) return;
    std::size_t i = slotOf(key);
    for (; slots_[i] != key; i = (i + 1) & mask()) {
      if (slots_[i] == nullptr) return;
    }
    // Later entries of the run move back into the gap, so that no lookup stops early.
    for (std::size_t j = (i + 1) & mask(); slots_[j] != nullptr; j = (j + 1) & mask()) {
      const std::size_t home = slotOf(slots_[j]);
      // slots_[j] may fill the gap at i when its home is not cyclically within (i, j].
      if (((j - home) & mask()) >= ((j - i) & mask())) {
        slots_[i] = slots_[j];
        i = j;
      }
    }
    slots_[i] = nullptr;
    --count_;
  }

 private:
  std::size_t mask() const { return slots_.size() - 1; }
  std::size_t slotOf(NodeKey key) const {
    // Fibonacci hashing: nodes lie at multiples of their size, so their low bits say little.
    const uint64_t h = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(key)) * 0x9E3779B97F4A7C15ull;
    return static_cast<std::size_t>(h >> 32) & mask();
  }
  void grow() {
    std::vector<NodeKey> old = std::move(slots_);
    slots_.assign(old.empty() ? 64 : old.size() * 2, nullptr);
    count_ = 0;
    for (NodeKey key : old) {
      if (key != nullptr) insert(key);
    }
  }

  std::vector<NodeKey> slots_;  // a power of two long; null: free
  std::size_t count_ = 0;
};

// Nodes by id, the first node of each id kept, with what the walk read of the node once (for a
// node that instance_node places). A flat table (linear probing, at most half full) with the id
// hashed in place: every instance_node looks its target up here.
class NodeIndex {
 public:
  struct Entry {
    std::string_view id;
    pugi::xml_node node;  // empty: a free slot
    int32_t reading = -1;  // the node's reading in the walk's list, -1: not read yet
  };

  void add(std::string_view id, pugi::xml_node node) {
    if ((count_ + 1) * 2 > slots_.size()) grow();
    Entry& slot = slotFor(id);
    if (slot.node) return;
    slot = {id, node, -1};
    ++count_;
  }

  Entry* find(std::string_view id) {
    if (slots_.empty()) return nullptr;
    Entry& slot = slotFor(id);
    return slot.node ? &slot : nullptr;
  }

 private:
  // FNV-1a: ids are short, and this runs once per instance_node.
  static uint64_t hashOf(std::string_view id) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (char c : id) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
    return h ^ (h >> 32);
  }
  // The slot of `id`, or the free slot where it would go.
  Entry& slotFor(std::string_view id) {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = static_cast<std::size_t>(hashOf(id)) & mask;; i = (i + 1) & mask) {
      if (!slots_[i].node || slots_[i].id == id) return slots_[i];
    }
  }
  void grow() {
    std::vector<Entry> old = std::move(slots_);
    slots_.assign(old.empty() ? 64 : old.size() * 2, Entry{});
    for (const Entry& entry : old) {
      if (entry.node) slotFor(entry.id) = entry;
    }
  }

  std::vector<Entry> slots_;  // a power of two long
  std::size_t count_ = 0;
};

class InstanceReader {
 public:
  InstanceReader(const ImportContext& context, ModelScene& scene)
      : context_(context), model_(context.model), scene_(scene) {}

  void read() {
    pugi::xml_node collada = context_.document.child("COLLADA");
    readAsset(collada.child("asset"));
    for (std::size_t i = 0; i < model_.geometries.size(); ++i) {
      geometries_.emplace(model_.geometries[i]->id, static_cast<int32_t>(i));
    }
    forEachAlong(collada, {"library_controllers", "controller"}, [&](pugi::xml_node c) {
      controllers_.emplace(c.attribute("id").value(), c);
    });
    pugi::xml_node visualScene = chooseVisualScene(collada);
    if (!visualScene) return;
    const Matrix4 axes = upAxisMatrix(scene_.upAxis);
    // Joints and animated nodes move what lies under them: those documents keep the tree.
    keepTree_ = !controllers_.empty() || static_cast<bool>(firstAlong(collada, {"library_animations", "animation"}));
    if (keepTree_) scene_.placedNodes.push_back({-1, -1, axes});
    // About one instance per node of the visual scenes (each became a bone, listed or not) as a
    // first guess: growing the list instance by instance costs a copy of everything placed so
    // far, into fresh pages.
    scene_.instances.reserve(std::min(model_.boneCount(), static_cast<std::size_t>(kMaxInstances)));
    for (pugi::xml_node node = visualScene.child("node"); node; node = node.next_sibling("node")) {
      if (stopped_) break;
      walk(node, axes);
    }
    resolveJointPlacements();
  }

 private:
  // A node or instance_node child of a node, to be placed after the node's own instances.
  struct Child {
    pugi::xml_node element;
    bool isInstanceNode;
  };

  // An instance_geometry or instance_controller child of a node.
  struct InstanceElement {
    pugi::xml_node element;
    bool isGeometry;
  };

  // An instance_geometry resolved once for all placements of its node.
  struct PreparedGeometry {
    bool resolved = false;
    int32_t geometry = -1;   // -1: names no imported geometry
    int32_t node = -1;       // in ModelScene::nodeIds
    int32_t materials = -1;  // in ModelScene::nameLists
  };

  // What a node adds wherever it is placed, read once for a node that instance_node places
  // (likely placed again).
  struct NodeReading {
    bool read = false;
    Matrix4 local = kIdentityMatrix;
    std::vector<InstanceElement> instances;
    std::vector<Child> children;
    std::vector<PreparedGeometry> prepared;  // parallel to `instances`
  };

  struct Frame {
    pugi::xml_node node;
    NodeKey key;  // of `node`
    const std::vector<Child>* children;  // pendingChildren_ or a NodeReading's
    std::size_t begin, next, end;        // the node's children in *children, the next to place
    Matrix4 world;
    int32_t placed;  // in ModelScene::placedNodes, -1 without a tree
  };

  void readAsset(pugi::xml_node asset) {
    std::string_view up = trimmed(textOf(asset.child("up_axis")));
    if (up == "X_UP" || up == "Y_UP" || up == "Z_UP") {
      scene_.upAxis = std::string(up);
    } else {
      if (!up.empty()) {
        context_.warn("asset: up_axis \"%.*s\" unknown; Y_UP taken", static_cast<int>(up.size()),
                      up.data());
      }
      scene_.upAxis = "Y_UP";
    }
    if (pugi::xml_attribute meter = asset.child("unit").attribute("meter")) {
      // As a double, so that 0.01 stays 0.01, whatever the locale; a decimal comma as the
      // exporter meant it.
      std::string_view written = trimmed(meter.value());
      const double value = written.empty() ? 0.0 : unusualNumber(written);
      if (std::isfinite(value) && value > 0) {
        scene_.unitMeter = value;
      } else {
        context_.warn("asset: unit meter \"%s\" is no positive number; 1 taken", meter.value());
      }
    }
  }

  pugi::xml_node chooseVisualScene(pugi::xml_node collada) {
    pugi::xml_node library = collada.child("library_visual_scenes");
    pugi::xml_attribute url = collada.child("scene").child("instance_visual_scene").attribute("url");
    if (url) {
      if (pugi::xml_node named = childWhere(library, "visual_scene", "id", reference(url.value()))) {
        return named;
      }
      context_.warn("scene: instance_visual_scene \"%s\" names no visual_scene; the first taken",
                    url.value());
    }
    return library.child("visual_scene");
  }

  // Depth first from `root`, placed under `parentWorld`.
  void walk(pugi::xml_node root, const Matrix4& parentWorld) {
    std::vector<Frame> stack;
    enter(root, parentWorld, stack);
    while (!stack.empty() && !stopped_) {
      Frame& top = stack.back();
      if (top.next == top.end) {
        onPath_.erase(top.key);
        if (top.children == &pendingChildren_) pendingChildren_.resize(top.begin);
        stack.pop_back();
        continue;
      }
      const Child next = (*top.children)[top.next++];
      pugi::xml_node child = next.element;
      if (!next.isInstanceNode) {
        Matrix4 world = top.world;
        enter(child, world, stack);
      } else {
        NodeIndex::Entry* target = resolveNode(child);
        if (target == nullptr) continue;
        if (onPath_.contains(keyOf(target->node))) {
          warnOnce(child, "node \"%s\": instance_node \"%s\" refers back to itself; skipped",
                   top.node.attribute("id").value(), child.attribute("url").value());
          continue;
        }
        if (target->reading < 0) {
          target->reading = static_cast<int32_t>(readings_.size());
          readings_.emplace_back();
        }
        Matrix4 world = top.world;
        enter(target->node, world, stack, &readings_[static_cast<std::size_t>(target->reading)]);
      }
    }
  }

  // Places `node` under `parentWorld`: its instances now, its children when the walk gets to
  // them. `shared`: for a node placed by instance_node (so likely to be placed again), what was
  // read of it, empty the first time.
  void enter(pugi::xml_node node, const Matrix4& parentWorld, std::vector<Frame>& stack,
             NodeReading* shared = nullptr) {
    if (++scene_.nodes > kMaxNodeVisits) {
      --scene_.nodes;
      context_.warn("visual scene: more than %lld nodes placed; the rest skipped",
                    static_cast<long long>(kMaxNodeVisits));
      stopped_ = true;
      return;
    }
    // Made where it stays: a frame copied in right after its fields were stored piecemeal
    // would be read back before those stores complete.
    Frame& frame = stack.emplace_back();
    frame.node = node;
    frame.key = keyOf(node);
    if (shared != nullptr) {
      NodeReading& reading = *shared;
      if (!reading.read) {
        reading.read = true;
        TransformProduct local(kIdentityMatrix);
        readNode(node, local, reading.instances, reading.children);
        reading.local = local.rounded();
        reading.prepared.resize(reading.instances.size());
      }
      frame.world = multiply(parentWorld, reading.local);
      frame.placed = place(node, frame.world, stack);
      for (std::size_t i = 0; i < reading.instances.size(); ++i) {
        addInstanceOf(node, reading.instances[i], frame.world, &reading.prepared[i]);
      }
      frame.children = &reading.children;
      frame.end = reading.children.size();
    } else {
      // The node's elements go straight onto the parent's world: placed once, it needs no
      // local transform of its own.
      TransformProduct world(parentWorld);
      frame.children = &pendingChildren_;
      frame.begin = frame.next = pendingChildren_.size();
      instanceScratch_.clear();
      readNode(node, world, instanceScratch_, pendingChildren_);
      frame.end = pendingChildren_.size();
      frame.world = world.rounded();
      frame.placed = place(node, frame.world, stack);
      for (const InstanceElement& element : instanceScratch_) {
        addInstanceOf(node, element, frame.world, nullptr);
      }
    }
    // A node without child nodes is done: nothing can be placed while it is on the path.
    if (frame.next == frame.end) {
      stack.pop_back();
      return;
    }
    onPath_.insert(frame.key);
  }

  // Keeps the placement of `node` (the last frame of `stack`) in the tree, when there is one;
  // its instances are then made with it as their node.
  int32_t place(pugi::xml_node node, const Matrix4& world, const std::vector<Frame>& stack) {
    if (!keepTree_) return placed_ = -1;
    const int32_t parent = stack.size() >= 2 ? stack[stack.size() - 2].placed : 0;
    placed_ = static_cast<int32_t>(scene_.placedNodes.size());
    scene_.placedNodes.push_back({parent, scene_.addNodeId(nameOf(node.attribute("id").value())), world});
    firstPlacement_.try_emplace(keyOf(node), placed_);
    return placed_;
  }

  // The placement of each joint of each skinned instance: its node's first placement, known
  // once the whole scene is placed (a skeleton may come after the skin's node).
  void resolveJointPlacements() {
    for (const auto& [instance, joints] : pendingJoints_) {
      std::vector<int32_t> placements;
      placements.reserve(joints.size());
      for (NodeKey joint : joints) {
        auto found = joint != nullptr ? firstPlacement_.find(joint) : firstPlacement_.end();
        placements.push_back(found != firstPlacement_.end() ? found->second : -1);
      }
      scene_.instances[instance].jointPlacements = static_cast<int32_t>(scene_.placementLists.size());
      scene_.placementLists.push_back(std::move(placements));
    }
  }

  // The inverse bind matrices of `skin`, read once per skin.
  int32_t skinOf(pugi::xml_node skin) {
    auto [at, added] = skins_.try_emplace(keyOf(skin), static_cast<int32_t>(scene_.skins.size()));
    if (!added) return at->second;
    SceneSkin& entry = scene_.skins.emplace_back();
    pugi::xml_node input = childWhere(skin.child("joints"), "input", "semantic", "INV_BIND_MATRIX");
    pugi::xml_node source = childWhere(skin, "source", "id", reference(input.attribute("source").value()));
    pugi::xml_node floats = source.child("float_array");
    std::vector<float> numbers;
    appendFloats(textOf(floats), intAttribute(floats, "count"), numbers);
    for (std::size_t i = 0; i + 16 <= numbers.size(); i += 16) {
      Matrix4& m = entry.inverseBinds.emplace_back();
      std::copy(numbers.begin() + static_cast<std::ptrdiff_t>(i), numbers.begin() + static_cast<std::ptrdiff_t>(i + 16),
                m.begin());
    }
    return at->second;
  }

  // The node's own transform (multiplied onto `transform`), its instance elements and its node
  // and instance_node children, in one pass over its children.
  void readNode(pugi::xml_node node, TransformProduct& transform,
                std::vector<InstanceElement>& instances, std::vector<Child>& children) {
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
      const char* name = child.name();
      if (name[0] == 'n') {
        if (nameIs(name, "node")) children.push_back({child, false});
      } else if (const char* kind = afterPrefix(name, "instance_")) {
        if (nameIs(kind, "node")) {
          children.push_back({child, true});
        } else if (nameIs(kind, "geometry")) {
          instances.push_back({child, true});
        } else if (nameIs(kind, "controller")) {
          instances.push_back({child, false});
        }
      } else {
        transforms_.apply(child, name, transform);
      }
    }
  }

  // `prepared`: where an instance_geometry of a node placed again keeps what it resolved.
  void addInstanceOf(pugi::xml_node node, const InstanceElement& instance, const Matrix4& world,
                     PreparedGeometry* prepared) {
    if (instance.isGeometry) {
      addGeometryInstance(node, instance.element, world, prepared);
    } else {
      addControllerInstance(node, instance.element, world);
    }
  }

  bool roomForInstance(pugi::xml_node node) {
    if (static_cast<int64_t>(scene_.instances.size()) < kMaxInstances) return true;
    if (!capWarned_) {
      context_.warn("node \"%s\": more than %lld instances; the rest skipped",
                    node.attribute("id").value(), static_cast<long long>(kMaxInstances));
      capWarned_ = true;
    }
    // Nothing the walk could still find would be kept.
    stopped_ = true;
    return false;
  }

  void addGeometryInstance(pugi::xml_node node, pugi::xml_node element, const Matrix4& world,
                           PreparedGeometry* prepared) {
    if (!roomForInstance(node)) return;
    PreparedGeometry once;
    PreparedGeometry& p = prepared != nullptr ? *prepared : once;
    if (!p.resolved) {
      p.resolved = true;
      std::string_view url = element.attribute("url").value();
      auto found = url.empty() || url[0] != '#' ? geometries_.end()
                                                : geometries_.find(nameOf(reference(url)));
      if (found == geometries_.end()) {
        warnOnce(element, "node \"%s\": instance_geometry \"%.*s\" names no imported geometry; skipped",
                 node.attribute("id").value(), static_cast<int>(url.size()), url.data());
        return;
      }
      p.geometry = found->second;
      p.node = scene_.addNodeId(nameOf(node.attribute("id").value()));
      p.materials = scene_.addNameList(boundMaterials(element, p.geometry));
    }
    if (p.geometry < 0) return;
    // Given all its fields at once: emplace_back() would first clear the whole record.
    scene_.instances.push_back(SceneInstance{.node = p.node, .geometry = p.geometry, .materials = p.materials,
                                             .joints = -1, .skinned = false, .world = world, .placed = placed_});
  }

  void addControllerInstance(pugi::xml_node node, pugi::xml_node element, const Matrix4& world) {
    if (!roomForInstance(node)) return;
    std::string_view url = element.attribute("url").value();
    pugi::xml_node skin;
    int32_t geometry = -1;
    std::string_view source = url;
    for (int step = 0; step < kMaxControllerChain && !source.empty() && source[0] == '#'; ++step) {
      std::string_view id = reference(source);
      auto controller = controllers_.find(id);
      if (controller == controllers_.end()) {
        auto g = geometries_.find(nameOf(id));
        if (g != geometries_.end()) geometry = g->second;
        break;
      }
      pugi::xml_node skinOrMorph = controller->second.child("skin");
      if (skinOrMorph) {
        if (!skin) skin = skinOrMorph;
      } else {
        skinOrMorph = controller->second.child("morph");
      }
      source = skinOrMorph.attribute("source").value();
    }
    if (geometry < 0) {
      warnOnce(element, "node \"%s\": instance_controller \"%.*s\" leads to no imported geometry; skipped",
               node.attribute("id").value(), static_cast<int>(url.size()), url.data());
      return;
    }
    SceneInstance& instance = addInstance(node, element, geometry, static_cast<bool>(skin), world);
    if (skin) findJoints(element, skin, instance);
  }

  SceneInstance& addInstance(pugi::xml_node node, pugi::xml_node element, int32_t geometry,
                             bool skinned, const Matrix4& world) {
    SceneInstance& instance = scene_.instances.emplace_back();
    instance.node = scene_.addNodeId(nameOf(node.attribute("id").value()));
    instance.geometry = geometry;
    instance.skinned = skinned;
    instance.world = world;
    instance.placed = placed_;
    instance.materials = scene_.addNameList(boundMaterials(element, geometry));
    return instance;
  }

  // Per primitive of the geometry, the material its symbol is bound to by the instance
  // element, else the symbol itself.
  std::vector<std::u16string> boundMaterials(pugi::xml_node element, int32_t geometry) {
    std::vector<pugi::xml_attribute> targets;
    std::vector<std::u16string> symbols;
    pugi::xml_node bindings = element.child("bind_material").child("technique_common");
    for (pugi::xml_node bound = bindings.child("instance_material"); bound;
         bound = bound.next_sibling("instance_material")) {
      symbols.push_back(nameOf(bound.attribute("symbol").value()));
      targets.push_back(bound.attribute("target"));
    }
    const auto& primitives = scene_.geometries[static_cast<std::size_t>(geometry)].primitives;
    std::vector<std::u16string> materials;
    materials.reserve(primitives.size());
    for (const ScenePrimitive& primitive : primitives) {
      const std::u16string& symbol = primitive.triangles->materialId;
      std::u16string material = symbol;
      for (std::size_t b = 0; b < symbols.size(); ++b) {
        if (text::sameName(symbols[b], symbol)) {
          material = nameOf(reference(targets[b].value()));
          break;
        }
      }
      materials.push_back(std::move(material));
    }
    return materials;
  }

  // The node each joint of the skin names: by sid, then id, then name, under the instance's
  // skeleton roots (the visual scene when it gives none).
  void findJoints(pugi::xml_node element, pugi::xml_node skin, SceneInstance& instance) {
    std::vector<std::string_view> names;
    pugi::xml_node input = childWhere(skin.child("joints"), "input", "semantic", "JOINT");
    pugi::xml_node source =
        childWhere(skin, "source", "id", reference(input.attribute("source").value()));
    pugi::xml_node list = source.child("Name_array");
    if (!list) list = source.child("IDREF_array");
    forEachListToken(textOf(list), [&](std::string_view name) {
      names.push_back(name);
      return true;
    });
    if (names.empty()) return;

    std::vector<pugi::xml_node> roots;
    for (pugi::xml_node skeleton = element.child("skeleton"); skeleton;
         skeleton = skeleton.next_sibling("skeleton")) {
      if (NodeIndex::Entry* root = nodeById(reference(trimmed(textOf(skeleton))))) {
        roots.push_back(root->node);
      }
    }
    if (roots.empty()) {
      for (pugi::xml_node p = element.parent(); p; p = p.parent()) {
        if (std::string_view(p.name()) == "visual_scene") roots.push_back(p);
      }
    }
    std::unordered_map<std::string_view, pugi::xml_node> bySid, byId, byName;
    for (pugi::xml_node root : roots) {
      forEachNodeUnder(root, jointBudget_, [&](pugi::xml_node node) {
        bySid.emplace(node.attribute("sid").value(), node);
        byId.emplace(node.attribute("id").value(), node);
        byName.emplace(node.attribute("name").value(), node);
      });
    }
    if (jointBudget_ <= 0 && !jointBudgetWarned_) {
      jointBudgetWarned_ = true;
      context_.warn("instance_controller \"%s\": joint search stopped after %lld nodes",
                    element.attribute("url").value(), static_cast<long long>(kMaxJointSearch));
    }
    int missing = 0;
    std::vector<std::u16string> joints;
    std::vector<NodeKey> jointNodes;
    joints.reserve(names.size());
    for (std::string_view name : names) {
      pugi::xml_node found;
      for (auto* map : {&bySid, &byId, &byName}) {
        auto hit = map->find(name);
        if (hit != map->end()) {
          found = hit->second;
          break;
        }
      }
      if (!found) ++missing;
      joints.push_back(nameOf(found.attribute("id").value()));
      jointNodes.push_back(found ? keyOf(found) : nullptr);
    }
    instance.joints = scene_.addNameList(std::move(joints));
    if (keepTree_) {
      instance.skin = skinOf(skin);
      pendingJoints_.emplace_back(&instance - scene_.instances.data(), std::move(jointNodes));
    }
    if (missing > 0) {
      warnOnce(element, "instance_controller \"%s\": %d joints found under no skeleton root",
               element.attribute("url").value(), missing);
    }
  }

  // The first node of that id, library_nodes before the visual scenes. The visual scenes are
  // indexed only when the libraries lack an id: references mostly lead into the libraries.
  NodeIndex::Entry* nodeById(std::string_view id) {
    int64_t budget = INT64_MAX;
    auto index = [&](pugi::xml_node root) {
      forEachNodeUnder(root, budget, [&](pugi::xml_node node) {
        pugi::xml_attribute nodeId = node.attribute("id");
        if (nodeId) nodesById_.add(nodeId.value(), node);
      });
    };
    if (!librariesIndexed_) {
      librariesIndexed_ = true;
      forEachAlong(context_.document.child("COLLADA"), {"library_nodes"}, index);
    }
    NodeIndex::Entry* found = nodesById_.find(id);
    if (found == nullptr && !scenesIndexed_) {
      scenesIndexed_ = true;
      forEachAlong(context_.document.child("COLLADA"), {"library_visual_scenes", "visual_scene"}, index);
      found = nodesById_.find(id);
    }
    return found;
  }

  NodeIndex::Entry* resolveNode(pugi::xml_node instanceNode) {
    std::string_view url = instanceNode.attribute("url").value();
    NodeIndex::Entry* target = !url.empty() && url[0] == '#' ? nodeById(reference(url)) : nullptr;
    if (target == nullptr) {
      warnOnce(instanceNode, "instance_node \"%.*s\" names no node of this document; skipped",
               static_cast<int>(url.size()), url.data());
    }
    return target;
  }

  // One warning per element, however often the walk meets it.
  template <class... Args>
  void warnOnce(pugi::xml_node element, const char* format, Args... args) {
    if (!warned_.insert(keyOf(element)).second) return;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
    context_.warn(format, args...);
#pragma GCC diagnostic pop
  }

  const ImportContext& context_;
  ModelData& model_;
  ModelScene& scene_;
  std::unordered_map<std::u16string, int32_t> geometries_;  // first geometry of each id
  std::unordered_map<std::string_view, pugi::xml_node> controllers_;
  NodeIndex nodesById_;
  bool librariesIndexed_ = false;
  bool scenesIndexed_ = false;
  PathSet onPath_;  // nodes being placed, each on the current path
  TransformReader transforms_;
  std::deque<NodeReading> readings_;  // of instance_node targets, kept in place for the frames
  std::vector<Child> pendingChildren_;  // children of the frames not read through readings_
  std::vector<InstanceElement> instanceScratch_;
  std::unordered_set<NodeKey> warned_;
  int64_t jointBudget_ = kMaxJointSearch;
  bool jointBudgetWarned_ = false;
  bool capWarned_ = false;
  bool stopped_ = false;
  // The tree, for documents that keep it.
  bool keepTree_ = false;
  int32_t placed_ = -1;  // the placement whose instances are being made
  std::unordered_map<NodeKey, int32_t> firstPlacement_;
  std::unordered_map<NodeKey, int32_t> skins_;  // skin element to ModelScene::skins
  std::vector<std::pair<std::ptrdiff_t, std::vector<NodeKey>>> pendingJoints_;  // by instance
};

}  // namespace

void readSceneInstances(const ImportContext& context, ModelScene& scene) {
  InstanceReader(context, scene).read();
}

}  // namespace collada
