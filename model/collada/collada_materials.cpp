// Images become textures; materials take the diffuse texture and colour of their effect.
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "model/collada/collada_context.h"
#include "model/model_data.h"
#include "platform/text.h"

namespace collada {
namespace {

// Shading models searched for the diffuse texture and colour, in this order. Blinn comes last
// so that documents with a phong or lambert diffuse keep it.
constexpr const char* kShadings[] = {"phong", "lambert", "blinn"};

pugi::xml_node firstDiffuse(pugi::xml_node effect, const char* kind) {
  for (const char* shading : kShadings) {
    pugi::xml_node found = firstAlong(effect, {"profile_COMMON", "technique", shading, "diffuse", kind});
    if (found) return found;
  }
  return {};
}

// The first "profile_COMMON/newparam[@sid=sid]/<kind>/<leaf>" of the effect, or an empty node.
pugi::xml_node newparamValue(pugi::xml_node effect, std::string_view sid, const char* kind,
                             const char* leaf) {
  pugi::xml_node found;
  forEachAlong(effect, {"profile_COMMON"}, [&](pugi::xml_node profile) {
    for (pugi::xml_node param = profile.child("newparam"); param && !found;
         param = param.next_sibling("newparam")) {
      if (sid != param.attribute("sid").value()) continue;
      found = firstAlong(param, {kind, leaf});
    }
  });
  return found;
}

// Fills the material from one effect: the texture through its sampler and surface parameters,
// and the colour. Either is left as it was when the effect has none.
void applyEffect(const ImportContext& context, pugi::xml_node effect, Material& material) {
  if (pugi::xml_node texture = firstDiffuse(effect, "texture")) {
    std::string_view samplerSid = texture.attribute("texture").value();
    pugi::xml_node source = newparamValue(effect, samplerSid, "sampler2D", "source");
    pugi::xml_node image =
        source ? newparamValue(effect, textOf(source), "surface", "init_from") : pugi::xml_node();
    if (image) {
      material.textureName = nameOf(textOf(image));
    } else if (!childWhere(context.document.child("COLLADA").child("library_images"), "image", "id", samplerSid)) {
      // (A texture that names an image itself is found by the scene reading.)
      context.warn("material \"%s\": texture \"%.*s\" leads to no image; texture skipped",
                   text::toUtf8(material.name).c_str(), static_cast<int>(samplerSid.size()),
                   samplerSid.data());
    }
  }
  if (pugi::xml_node color = firstDiffuse(effect, "color")) {
    std::vector<float> numbers;
    appendFloats(textOf(color), 4, numbers);
    for (int i = 0; i < 4; ++i) {
      material.diffuse[i] = i < static_cast<int>(numbers.size()) ? numbers[i] : 0.0f;
    }
  }
}

// The first colour, float or texture named `kind` of the effect's common technique, under any
// shading model, or an empty node.
pugi::xml_node firstOf(pugi::xml_node effect, const char* parameter, const char* kind) {
  for (const char* shading : {"phong", "lambert", "blinn", "constant"}) {
    pugi::xml_node found = firstAlong(effect, {"profile_COMMON", "technique", shading, parameter, kind});
    if (found) return found;
  }
  return {};
}

void readColor(pugi::xml_node effect, const char* parameter, float out[4]) {
  pugi::xml_node color = firstOf(effect, parameter, "color");
  if (!color) return;
  std::vector<float> numbers;
  appendFloats(textOf(color), 4, numbers);
  for (std::size_t i = 0; i < 4; ++i) out[i] = i < numbers.size() ? numbers[i] : (i == 3 ? 1.0f : 0.0f);
}

}  // namespace

void readSceneMaterials(const ImportContext& context, ModelScene& scene) {
  std::unordered_map<std::string_view, pugi::xml_node> effects, images;
  forEachAlong(context.document, {"COLLADA", "library_effects", "effect"}, [&](pugi::xml_node effect) {
    effects.try_emplace(effect.attribute("id").value(), effect);
  });
  forEachAlong(context.document, {"COLLADA", "library_images", "image"}, [&](pugi::xml_node image) {
    images.try_emplace(image.attribute("id").value(), image);
  });
  std::size_t index = 0;
  forEachAlong(context.document, {"COLLADA", "library_materials", "material"}, [&](pugi::xml_node element) {
    if (!element.attribute("id")) return;  // the record step skipped it too
    const Material* record =
        index < context.model.materials.size() ? context.model.materials[index++].get() : nullptr;
    if (record == nullptr) return;
    SceneMaterial& material = scene.materials.emplace_back();
    material.name = record->name;
    auto effect = effects.find(reference(element.child("instance_effect").attribute("url").value()));
    if (effect == effects.end()) return;
    readColor(effect->second, "ambient", material.ambient);
    readColor(effect->second, "specular", material.specular);
    readColor(effect->second, "emission", material.emission);
    if (pugi::xml_node shininess = firstOf(effect->second, "shininess", "float")) {
      std::vector<float> numbers;
      appendFloats(textOf(shininess), 1, numbers);
      if (!numbers.empty()) material.shininess = numbers[0];
    }
    // A texture that names its image directly, as 3ds Max writes it, where the record looked
    // for a sampler.
    pugi::xml_node texture = firstOf(effect->second, "diffuse", "texture");
    std::string_view named = texture.attribute("texture").value();
    if (record->textureName.empty() && !named.empty() && images.count(named) != 0) material.textureId = nameOf(named);
  });
}

void importImages(const ImportContext& context) {
  forEachAlong(context.document, {"COLLADA", "library_images", "image"}, [&](pugi::xml_node image) {
    pugi::xml_attribute id = image.attribute("id");
    pugi::xml_node initFrom = image.child("init_from");
    if (!id) {
      context.warn("image without \"id\" skipped");
      return;
    }
    if (!initFrom) {
      context.warn("image \"%s\" without \"init_from\" skipped", id.value());
      return;
    }
    auto texture = std::make_unique<Texture>();
    texture->id = nameOf(id.value());
    texture->fileName = nameOf(textOf(initFrom));
    context.model.textures.push_back(std::move(texture));
  });
}

void importMaterials(const ImportContext& context) {
  // Effects by id, each id with every effect that carries it in document order.
  std::unordered_map<std::string_view, std::vector<pugi::xml_node>> effects;
  forEachAlong(context.document, {"COLLADA", "library_effects", "effect"},
               [&](pugi::xml_node effect) {
                 pugi::xml_attribute id = effect.attribute("id");
                 if (id) effects[id.value()].push_back(effect);
               });

  forEachAlong(context.document, {"COLLADA", "library_materials", "material"},
               [&](pugi::xml_node element) {
                 pugi::xml_attribute id = element.attribute("id");
                 if (!id) {
                   context.warn("material without \"id\" skipped");
                   return;
                 }
                 auto material = std::make_unique<Material>();
                 material->name = nameOf(id.value());
                 std::string_view effectId =
                     reference(element.child("instance_effect").attribute("url").value());
                 auto found = effects.find(effectId);
                 if (found != effects.end()) {
                   // A later effect with the same id overrides what an earlier one set.
                   for (pugi::xml_node effect : found->second) applyEffect(context, effect, *material);
                 }
                 context.model.materials.push_back(std::move(material));
               });
}

}  // namespace collada
