// The visual scene as a graph of placed instances: node transforms, instance_geometry,
// instance_controller and instance_node at any depth, bound materials, up axis and unit. The
// walk keeps its own stack (nesting depth is the document's choice) and bounds its work, so a
// hostile document costs warnings, not time or memory.
#include <charconv>
#include <cmath>
#include <cstring>
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

bool isNode(pugi::xml_node element) {
  const char* name = element.name();
  return name[0] == 'n' && std::strcmp(name, "node") == 0;
}

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
    for (pugi::xml_node node = visualScene.child("node"); node; node = node.next_sibling("node")) {
      if (stopped_) break;
      walk(node, axes);
    }
  }

 private:
  struct Frame {
    pugi::xml_node node;
    pugi::xml_node next;  // the next child to look at
    Matrix4 world;
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
      // As a double, so that 0.01 stays 0.01; from_chars ignores the locale.
      std::string_view written = trimmed(meter.value());
      double value = 0;
      std::from_chars(written.data(), written.data() + written.size(), value);
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
      pugi::xml_node child = top.next;
      if (!child) {
        onPath_.erase(keyOf(top.node));
        stack.pop_back();
        continue;
      }
      top.next = child.next_sibling();
      const char* name = child.name();
      if (name[0] != 'n' && name[0] != 'i') continue;
      if (std::strcmp(name, "node") == 0) {
        Matrix4 world = top.world;
        enter(child, world, stack);
      } else if (std::strcmp(name, "instance_node") == 0) {
        pugi::xml_node target = resolveNode(child);
        if (!target) continue;
        if (onPath_.count(keyOf(target)) != 0) {
          warnOnce(child, "node \"%s\": instance_node \"%s\" refers back to itself; skipped",
                   top.node.attribute("id").value(), child.attribute("url").value());
          continue;
        }
        Matrix4 world = top.world;
        enter(target, world, stack, true);
      }
    }
  }

  // Places `node` under `parentWorld`: its instances now, its children when the walk gets to
  // them. `shared`: placed by instance_node, so likely to be placed again.
  void enter(pugi::xml_node node, const Matrix4& parentWorld, std::vector<Frame>& stack,
             bool shared = false) {
    if (++scene_.nodes > kMaxNodeVisits) {
      --scene_.nodes;
      context_.warn("visual scene: more than %lld nodes placed; the rest skipped",
                    static_cast<long long>(kMaxNodeVisits));
      stopped_ = true;
      return;
    }
    Matrix4 world = multiply(parentWorld, shared ? sharedLocalTransform(node) : localTransform(node));
    for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
      const char* name = child.name();
      if (name[0] != 'i') continue;
      if (std::strcmp(name, "instance_geometry") == 0) {
        addGeometryInstance(node, child, world);
      } else if (std::strcmp(name, "instance_controller") == 0) {
        addControllerInstance(node, child, world);
      }
    }
    onPath_.insert(keyOf(node));
    stack.push_back({node, node.first_child(), world});
  }

  // The own transform of a node that instance_node places, read once however often it is placed.
  const Matrix4& sharedLocalTransform(pugi::xml_node node) {
    auto [at, added] = localTransforms_.try_emplace(keyOf(node));
    if (added) at->second = localTransform(node);
    return at->second;
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

  void addGeometryInstance(pugi::xml_node node, pugi::xml_node element, const Matrix4& world) {
    if (!roomForInstance(node)) return;
    std::string_view url = element.attribute("url").value();
    auto found = url.empty() || url[0] != '#' ? geometries_.end()
                                              : geometries_.find(nameOf(reference(url)));
    if (found == geometries_.end()) {
      warnOnce(element, "node \"%s\": instance_geometry \"%.*s\" names no imported geometry; skipped",
               node.attribute("id").value(), static_cast<int>(url.size()), url.data());
      return;
    }
    addInstance(node, element, found->second, false, world);
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
    instance.nodeId = nameOf(node.attribute("id").value());
    instance.geometry = geometry;
    instance.skinned = skinned;
    instance.world = world;
    pugi::xml_node bindings = element.child("bind_material").child("technique_common");
    for (const ScenePrimitive& primitive : scene_.geometries[static_cast<std::size_t>(geometry)].primitives) {
      const std::u16string& symbol = primitive.triangles->materialId;
      std::u16string material = symbol;
      for (pugi::xml_node bound = bindings.child("instance_material"); bound;
           bound = bound.next_sibling("instance_material")) {
        if (text::sameName(nameOf(bound.attribute("symbol").value()), symbol)) {
          material = nameOf(reference(bound.attribute("target").value()));
          break;
        }
      }
      instance.materials.push_back(std::move(material));
    }
    return instance;
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
      if (pugi::xml_node root = nodeById(reference(trimmed(textOf(skeleton))))) roots.push_back(root);
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
      instance.joints.push_back(nameOf(found.attribute("id").value()));
    }
    if (missing > 0) {
      warnOnce(element, "instance_controller \"%s\": %d joints found under no skeleton root",
               element.attribute("url").value(), missing);
    }
  }

  pugi::xml_node nodeById(std::string_view id) {
    if (!nodesIndexed_) {
      nodesIndexed_ = true;
      pugi::xml_node collada = context_.document.child("COLLADA");
      int64_t budget = INT64_MAX;
      auto index = [&](pugi::xml_node root) {
        forEachNodeUnder(root, budget, [&](pugi::xml_node node) {
          pugi::xml_attribute nodeId = node.attribute("id");
          if (nodeId) nodesById_.emplace(nodeId.value(), node);
        });
      };
      forEachAlong(collada, {"library_nodes"}, index);
      forEachAlong(collada, {"library_visual_scenes", "visual_scene"}, index);
    }
    auto found = nodesById_.find(id);
    return found == nodesById_.end() ? pugi::xml_node() : found->second;
  }

  pugi::xml_node resolveNode(pugi::xml_node instanceNode) {
    std::string_view url = instanceNode.attribute("url").value();
    pugi::xml_node target = !url.empty() && url[0] == '#' ? nodeById(reference(url)) : pugi::xml_node();
    if (!target) {
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
  std::unordered_map<std::string_view, pugi::xml_node> nodesById_;
  bool nodesIndexed_ = false;
  std::unordered_set<NodeKey> onPath_;  // nodes being placed, each on the current path
  std::unordered_map<NodeKey, Matrix4> localTransforms_;  // of instance_node targets
  std::unordered_set<NodeKey> warned_;
  int64_t jointBudget_ = kMaxJointSearch;
  bool jointBudgetWarned_ = false;
  bool capWarned_ = false;
  bool stopped_ = false;
};

}  // namespace

void readSceneInstances(const ImportContext& context, ModelScene& scene) {
  InstanceReader(context, scene).read();
}

}  // namespace collada
