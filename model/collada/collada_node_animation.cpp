// Animated nodes: channels that target any transformation element of a node, whole or one
// component, become one track per node of its local matrix over the union of its channels'
// key times (linear between keys, held outside them). One animation set per clip, the
// animations in no clip in "ColladaAnim_001".
#include <algorithm>
#include <functional>
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

namespace collada {
namespace {

// Keys of one node's track, and samples (keys x channels) of all tracks, beyond which the
// rest is skipped with a warning.
constexpr std::size_t kMaxKeys = 100000;
constexpr int64_t kMaxSamples = 20000000;

using Key = const void*;
Key keyOf(pugi::xml_node node) { return node.internal_object(); }

struct Channel {
  pugi::xml_node node;           // the animated node
  int element = 0;               // its transformation element, counted in document order
  int component = -1;            // the value it sets; -1: all of them
  const std::vector<float>* times = nullptr;
  const std::vector<float>* values = nullptr;
  std::size_t stride = 1;        // values per key
};

// Value `k` of a channel at `time`: linear between keys, held outside them.
float sample(const Channel& c, float time, std::size_t k) {
  const std::vector<float>& t = *c.times;
  auto at = [&](std::size_t key) { return (*c.values)[key * c.stride + k]; };
  if (time <= t.front()) return at(0);
  if (time >= t.back()) return at(t.size() - 1);
  std::size_t i = static_cast<std::size_t>(std::upper_bound(t.begin(), t.end(), time) - t.begin());
  if (i == 0 || i >= t.size()) return at(std::min(i, t.size() - 1));
  const float span = t[i] - t[i - 1];
  const float f = span > 0 ? (time - t[i - 1]) / span : 1.0f;
  return at(i - 1) + (at(i) - at(i - 1)) * f;
}

// The transformation elements of a node, in document order.
std::vector<pugi::xml_node> transformElements(pugi::xml_node node) {
  std::vector<pugi::xml_node> elements;
  for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling()) {
    if (child.type() == pugi::node_element && transformValueCount(child.name()) > 0) {
      elements.push_back(child);
    }
  }
  return elements;
}

// The component a target's selector names (".X", ".ANGLE", "(1)", "(1)(2)"), -1 for none,
// -2 when it names nothing the element has.
int component(std::string_view selector, int valueCount) {
  if (selector.empty()) return -1;
  int index = -2;
  if (selector[0] == '.') {
    std::string_view member = selector.substr(1);
    if (member == "X" || member == "R" || member == "S" || member == "U") index = 0;
    if (member == "Y" || member == "G" || member == "T" || member == "V") index = 1;
    if (member == "Z" || member == "B" || member == "P") index = 2;
    if (member == "W" || member == "A" || member == "Q" || member == "ANGLE") index = 3;
  } else if (selector[0] == '(') {
    // "(i)" counts the values; "(row)(column)" addresses a matrix as written.
    int first = -1, second = -1;
    std::size_t close = selector.find(')');
    if (close == std::string_view::npos) return -2;
    first = text::parseInt32(selector.substr(1, close - 1));
    std::string_view rest = selector.substr(close + 1);
    if (!rest.empty()) {
      std::size_t close2 = rest.find(')');
      if (rest[0] != '(' || close2 == std::string_view::npos) return -2;
      second = text::parseInt32(rest.substr(1, close2 - 1));
      if (first < 0 || first > 3 || second < 0 || second > 3) return -2;
      index = first * 4 + second;
    } else {
      index = first;
    }
  }
  return index >= 0 && index < valueCount ? index : -2;
}

class NodeAnimationReader {
 public:
  NodeAnimationReader(const ImportContext& context, ModelScene& scene)
      : context_(context), scene_(scene) {}

  void read() {
    pugi::xml_node collada = context_.document.child("COLLADA");
    if (!collada.child("library_animations")) return;
    indexNodes(collada);
    // Clips first: each names its animations, nested ones included.
    std::vector<std::string> setIds;
    forEachAlong(collada, {"library_animation_clips", "animation_clip"}, [&](pugi::xml_node clip) {
      pugi::xml_attribute id = clip.attribute("id");
      setIds.emplace_back(id ? id.value() : clip.attribute("name").value());
      for (pugi::xml_node use = clip.child("instance_animation"); use;
           use = use.next_sibling("instance_animation")) {
        clipAnimations_.emplace(std::string(reference(use.attribute("url").value())),
                                static_cast<int>(setIds.size() - 1));
      }
    });
    setIds.emplace_back("ColladaAnim_001");
    channels_.resize(setIds.size());

    // Every animation element without recursion; each inherits its enclosing clips.
    std::vector<std::pair<pugi::xml_node, std::vector<int>>> pending;
    forEachAlong(collada, {"library_animations", "animation"},
                 [&](pugi::xml_node a) { pending.emplace_back(a, std::vector<int>()); });
    std::reverse(pending.begin(), pending.end());
    while (!pending.empty()) {
      auto [animation, sets] = std::move(pending.back());
      pending.pop_back();
      auto [first, last] = clipAnimations_.equal_range(animation.attribute("id").value());
      for (auto it = first; it != last; ++it) sets.push_back(it->second);
      std::sort(sets.begin(), sets.end());
      sets.erase(std::unique(sets.begin(), sets.end()), sets.end());
      for (pugi::xml_node channel = animation.child("channel"); channel;
           channel = channel.next_sibling("channel")) {
        readChannel(animation, channel, sets);
      }
      std::vector<pugi::xml_node> nested;
      for (pugi::xml_node a = animation.child("animation"); a; a = a.next_sibling("animation")) {
        nested.push_back(a);
      }
      for (auto a = nested.rbegin(); a != nested.rend(); ++a) pending.emplace_back(*a, sets);
    }

    for (std::size_t s = 0; s < setIds.size(); ++s) {
      bool isRest = s + 1 == setIds.size();
      if (isRest && channels_[s].empty()) continue;
      auto set = std::make_unique<AnimationSet>();
      set->id = nameOf(setIds[s]);
      makeTracks(channels_[s], *set);
      scene_.animations.push_back(std::move(set));
    }
  }

 private:
  void indexNodes(pugi::xml_node collada) {
    std::vector<pugi::xml_node> pending;
    for (const char* library : {"library_nodes", "library_visual_scenes"}) {
      for (pugi::xml_node l = collada.child(library); l; l = l.next_sibling(library)) {
        pending.push_back(l);
      }
    }
    while (!pending.empty()) {
      pugi::xml_node element = pending.back();
      pending.pop_back();
      if (std::string_view(element.name()) == "node") {
        pugi::xml_attribute id = element.attribute("id");
        if (id) nodes_.emplace(id.value(), element);
      }
      for (pugi::xml_node child = element.first_child(); child; child = child.next_sibling()) {
        if (child.type() == pugi::node_element) pending.push_back(child);
      }
    }
  }

  // The numbers of the source `id`: one found in `animation` first, else anywhere.
  const std::vector<float>* floatsOf(pugi::xml_node animation, std::string_view id) {
    pugi::xml_node source = childWhere(animation, "source", "id", id);
    if (!source) {
      if (!sourcesIndexed_) {
        sourcesIndexed_ = true;
        std::vector<pugi::xml_node> pending;
        forEachAlong(context_.document, {"COLLADA", "library_animations"},
                     [&](pugi::xml_node l) { pending.push_back(l); });
        while (!pending.empty()) {
          pugi::xml_node a = pending.back();
          pending.pop_back();
          for (pugi::xml_node s = a.child("source"); s; s = s.next_sibling("source")) {
            sources_.emplace(s.attribute("id").value(), s);
          }
          for (pugi::xml_node n = a.child("animation"); n; n = n.next_sibling("animation")) {
            pending.push_back(n);
          }
        }
      }
      auto found = sources_.find(id);
      if (found != sources_.end()) source = found->second;
    }
    if (!source) return nullptr;
    auto [entry, added] = floats_.try_emplace(keyOf(source));
    if (added) {
      pugi::xml_node array = source.child("float_array");
      appendFloats(textOf(array), intAttribute(array, "count"), entry->second);
    }
    return &entry->second;
  }

  void readChannel(pugi::xml_node animation, pugi::xml_node channel, const std::vector<int>& sets) {
    std::string_view target = channel.attribute("target").value();
    std::function<void(const char*)> skip = [&](const char* why) {
      context_.warn("animation \"%s\": channel \"%.*s\" %s; skipped", animation.attribute("id").value(),
                    static_cast<int>(target.size()), target.data(), why);
    };
    std::size_t slash = target.find('/');
    std::string_view path = slash == std::string_view::npos ? std::string_view() : target.substr(slash + 1);
    std::size_t cut = path.find_first_of(".(");
    std::string_view sid = path.substr(0, cut);
    // Channels the animation step takes as they are (a matrix track for a "transform" sid, or
    // one for a node that does not exist) need no word when the scene cannot use them.
    auto node = nodes_.find(target.substr(0, slash));
    const bool quiet = node == nodes_.end() || slash == std::string_view::npos || sid == "transform";
    if (quiet) skip = [](const char*) {};
    if (node == nodes_.end()) return skip("names no node");
    std::string_view selector = cut == std::string_view::npos ? std::string_view() : path.substr(cut);
    std::vector<pugi::xml_node> elements = transformElements(node->second);
    auto element = std::find_if(elements.begin(), elements.end(), [&](pugi::xml_node e) {
      return sid == e.attribute("sid").value();
    });
    if (element == elements.end()) return skip("names no transformation element");

    std::string_view samplerId = reference(channel.attribute("source").value());
    pugi::xml_node sampler = childWhere(animation, "sampler", "id", samplerId);
    pugi::xml_node input = childWhere(sampler, "input", "semantic", "INPUT");
    pugi::xml_node output = childWhere(sampler, "input", "semantic", "OUTPUT");
    const std::vector<float>* times = floatsOf(animation, reference(input.attribute("source").value()));
    const std::vector<float>* values =
        floatsOf(animation, reference(output.attribute("source").value()));
    if (times == nullptr || values == nullptr || times->empty()) {
      return skip("has no key times and values");
    }
    Channel c;
    c.node = node->second;
    c.element = static_cast<int>(element - elements.begin());
    const int count = transformValueCount(element->name());
    c.component = component(selector, count);
    if (c.component == -2) return skip("names no value of its element");
    c.times = times;
    c.values = values;
    c.stride = values->size() / times->size();
    const std::size_t needed = c.component >= 0 ? 1 : static_cast<std::size_t>(count);
    if (c.stride < needed) return skip("has fewer values than its element needs");
    if (sets.empty()) {
      channels_.back().push_back(c);
    } else {
      for (int s : sets) channels_[static_cast<std::size_t>(s)].push_back(c);
    }
  }

  void makeTracks(const std::vector<Channel>& channels, AnimationSet& set) {
    // Channels grouped by node, the nodes in the order of their first channel.
    std::vector<Key> order;
    std::unordered_map<Key, std::vector<const Channel*>> byNode;
    for (const Channel& c : channels) {
      auto& list = byNode[keyOf(c.node)];
      if (list.empty()) order.push_back(keyOf(c.node));
      list.push_back(&c);
    }
    for (Key key : order) {
      const std::vector<const Channel*>& list = byNode[key];
      pugi::xml_node node = list.front()->node;
      std::vector<float> times;
      for (const Channel* c : list) {
        times.insert(times.end(), c->times->begin(), c->times->end());
        if (times.size() > kMaxKeys * 4) break;
      }
      std::sort(times.begin(), times.end());
      times.erase(std::unique(times.begin(), times.end()), times.end());
      std::vector<pugi::xml_node> elements = transformElements(node);
      const int64_t cost = static_cast<int64_t>(times.size()) *
                           static_cast<int64_t>(list.size() + elements.size());
      if (times.size() > kMaxKeys || cost > samplesLeft_) {
        context_.warn("node \"%s\": animation of %zu keys too large; skipped",
                      node.attribute("id").value(), times.size());
        continue;
      }
      samplesLeft_ -= cost;

      // The elements' values as written, overwritten per key by the channels.
      std::vector<std::vector<float>> base;
      for (pugi::xml_node e : elements) {
        std::vector<float>& values = base.emplace_back(16, 0.0f);
        std::size_t read = 0;
        const std::size_t count = static_cast<std::size_t>(transformValueCount(e.name()));
        forEachFloat(textOf(e), [&](float v) {
          values[read++] = v;
          return read < count;
        });
      }
      auto track = std::make_unique<BoneTrack>();
      track->target = nameOf(node.attribute("id").value());
      track->bone = context_.model.findBoneById(track->target);
      track->keyTimes = times;
      track->poses.reserve(times.size());
      std::vector<std::vector<float>> current;
      for (float time : times) {
        current = base;
        for (const Channel* c : list) {
          std::vector<float>& values = current[static_cast<std::size_t>(c->element)];
          if (c->component >= 0) {
            values[static_cast<std::size_t>(c->component)] = sample(*c, time, 0);
          } else {
            const std::size_t count =
                static_cast<std::size_t>(transformValueCount(elements[static_cast<std::size_t>(c->element)].name()));
            for (std::size_t k = 0; k < count; ++k) values[k] = sample(*c, time, k);
          }
        }
        Matrix4 local = kIdentityMatrix;
        for (std::size_t e = 0; e < elements.size(); ++e) {
          Matrix4 m = transformMatrix(elements[e].name(), current[e].data());
          local = e == 0 ? m : multiply(local, m);
        }
        track->poses.push_back(local);
      }
      set.tracks.push_back(std::move(track));
    }
  }

  const ImportContext& context_;
  ModelScene& scene_;
  std::unordered_map<std::string_view, pugi::xml_node> nodes_;  // first node of each id
  std::unordered_multimap<std::string, int> clipAnimations_;     // animation id -> clip
  std::vector<std::vector<Channel>> channels_;                   // per set; the rest last
  std::unordered_map<Key, std::vector<float>> floats_;           // read sources
  std::unordered_map<std::string_view, pugi::xml_node> sources_;  // first source of each id
  bool sourcesIndexed_ = false;
  int64_t samplesLeft_ = kMaxSamples;
};

}  // namespace

void readNodeAnimations(const ImportContext& context, ModelScene& scene) {
  NodeAnimationReader(context, scene).read();
}

}  // namespace collada
