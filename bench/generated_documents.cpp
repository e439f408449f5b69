#include "bench/generated_documents.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

namespace {

namespace fs = std::filesystem;

constexpr int kGridColumns = 1000;  // cells; two triangles each
constexpr int kGridRows = 100;
constexpr int kJoints = 60;
constexpr int kKeys = 100;
constexpr int kInfluences = 4;

class Writer {
 public:
  explicit Writer(std::FILE* file) : file_(file) {}
  void text(const char* s) { std::fputs(s, file_); }
  void number(double v) { std::fprintf(file_, "%.6g ", v); }
  void integer(long v) { std::fprintf(file_, "%ld ", v); }
  template <class... Args>
  void format(const char* f, Args... args) {
    std::fprintf(file_, f, args...);
  }

 private:
  std::FILE* file_;
};

void writeMatrix(Writer& w, double tx, double ty, double tz) {
  const double m[16] = {1, 0, 0, tx, 0, 1, 0, ty, 0, 0, 1, tz, 0, 0, 0, 1};
  for (double v : m) w.number(v);
}

}  // namespace

// A document written by `Write` the first time it is asked for, named after this process and
// removed at exit.
const fs::path& generatedDocument(const char* stem, void (*write)(const fs::path&)) {
  // One document per stem, never destroyed, so that the exit handler can still name it.
  static std::map<std::string, const fs::path*> made;
  const fs::path*& path = made[stem];
  if (path != nullptr) return *path;
  path = [stem, write] {
    auto* p = new fs::path(fs::temp_directory_path() / (std::string(stem) + std::to_string(::getpid()) + ".dae"));
    write(*p);
    return p;
  }();
  static bool removing = false;
  if (!removing) {
    removing = true;
    std::atexit([] {
      std::error_code ignored;
      for (const auto& [stem, p] : made) fs::remove(*p, ignored);
    });
  }
  return *path;
}


// The document: a grid mesh bent along x, skinned to a chain of joints along x, each joint
// animated with a matrix channel.
void writeSkinnedGrid(const fs::path& path) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) {
    std::perror(path.c_str());
    std::exit(1);
  }
  Writer w(file);
  const int columns = kGridColumns + 1;
  const int rows = kGridRows + 1;
  const long vertices = static_cast<long>(columns) * rows;

  w.text("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
         "<COLLADA xmlns=\"http://www.collada.org/2005/11/COLLADASchema\" version=\"1.4.1\">\n"
         "<asset><unit name=\"meter\" meter=\"1\"/><up_axis>Z_UP</up_axis></asset>\n"
         "<library_images><image id=\"skin-image\"><init_from>skin.png</init_from></image>"
         "</library_images>\n"
         "<library_effects><effect id=\"skin-effect\"><profile_COMMON>"
         "<newparam sid=\"skin-surface\"><surface type=\"2D\"><init_from>skin-image</init_from>"
         "</surface></newparam><newparam sid=\"skin-sampler\"><sampler2D><source>skin-surface"
         "</source></sampler2D></newparam><technique sid=\"common\"><phong><diffuse>"
         "<texture texture=\"skin-sampler\" texcoord=\"UVMap\"/></diffuse></phong></technique>"
         "</profile_COMMON></effect></library_effects>\n"
         "<library_materials><material id=\"skin-material\"><instance_effect url=\"#skin-effect\"/>"
         "</material></library_materials>\n"
         "<library_geometries><geometry id=\"body-mesh\"><mesh>\n");

  w.format("<source id=\"body-positions\"><float_array id=\"body-positions-array\" count=\"%ld\">",
           vertices * 3);
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < columns; ++c) {
      w.number(c * 0.0123457);
      w.number(r * 0.0131579 + 0.000173 * c);
      w.number(std::sin(c * 0.0731) * 0.25 + std::cos(r * 0.117) * 0.125);
    }
  }
  w.format("</float_array><technique_common><accessor source=\"#body-positions-array\" "
           "count=\"%ld\" stride=\"3\"><param name=\"X\" type=\"float\"/><param name=\"Y\" "
           "type=\"float\"/><param name=\"Z\" type=\"float\"/></accessor></technique_common>"
           "</source>\n",
           vertices);

  w.format("<source id=\"body-normals\"><float_array id=\"body-normals-array\" count=\"%ld\">",
           vertices * 3);
  for (long i = 0; i < vertices; ++i) {
    double x = std::sin(i * 0.0137) * 0.3;
    double y = std::cos(i * 0.0211) * 0.3;
    w.number(x);
    w.number(y);
    w.number(std::sqrt(1.0 - x * x - y * y));
  }
  w.format("</float_array><technique_common><accessor source=\"#body-normals-array\" "
           "count=\"%ld\" stride=\"3\"><param name=\"X\" type=\"float\"/><param name=\"Y\" "
           "type=\"float\"/><param name=\"Z\" type=\"float\"/></accessor></technique_common>"
           "</source>\n",
           vertices);

  w.format("<source id=\"body-uv\"><float_array id=\"body-uv-array\" count=\"%ld\">", vertices * 2);
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < columns; ++c) {
      w.number(static_cast<double>(c) / kGridColumns);
      w.number(static_cast<double>(r) / kGridRows);
    }
  }
  w.format("</float_array><technique_common><accessor source=\"#body-uv-array\" count=\"%ld\" "
           "stride=\"2\"><param name=\"S\" type=\"float\"/><param name=\"T\" type=\"float\"/>"
           "</accessor></technique_common></source>\n",
           vertices);

  w.text("<vertices id=\"body-vertices\"><input semantic=\"POSITION\" source=\"#body-positions\"/>"
         "</vertices>\n");
  const long triangles = 2L * kGridColumns * kGridRows;
  w.format("<triangles material=\"skin-material\" count=\"%ld\">"
           "<input semantic=\"VERTEX\" source=\"#body-vertices\" offset=\"0\"/>"
           "<input semantic=\"NORMAL\" source=\"#body-normals\" offset=\"1\"/>"
           "<input semantic=\"TEXCOORD\" source=\"#body-uv\" offset=\"2\" set=\"0\"/><p>",
           triangles);
  for (int r = 0; r < kGridRows; ++r) {
    for (int c = 0; c < kGridColumns; ++c) {
      long a = static_cast<long>(r) * columns + c;
      long corners[6] = {a, a + 1, a + columns, a + 1, a + columns + 1, a + columns};
      for (long v : corners) {
        w.integer(v);
        w.integer(v);
        w.integer(v);
      }
    }
  }
  w.text("</p></triangles>\n</mesh></geometry></library_geometries>\n");

  // Skin: each vertex is weighted to the four joints nearest along x.
  w.text("<library_controllers><controller id=\"body-skin\"><skin source=\"#body-mesh\">"
         "<bind_shape_matrix>1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1</bind_shape_matrix>\n");
  w.format("<source id=\"body-skin-joints\"><Name_array id=\"body-skin-joints-array\" "
           "count=\"%d\">",
           kJoints);
  for (int j = 0; j < kJoints; ++j) w.format("Joint_%d ", j);
  w.format("</Name_array><technique_common><accessor source=\"#body-skin-joints-array\" "
           "count=\"%d\" stride=\"1\"><param name=\"JOINT\" type=\"name\"/></accessor>"
           "</technique_common></source>\n",
           kJoints);
  w.format("<source id=\"body-skin-bind-poses\"><float_array id=\"body-skin-bind-poses-array\" "
           "count=\"%d\">",
           kJoints * 16);
  for (int j = 0; j < kJoints; ++j) writeMatrix(w, -j * 10.0 / kJoints, 0, 0);
  w.format("</float_array><technique_common><accessor source=\"#body-skin-bind-poses-array\" "
           "count=\"%d\" stride=\"16\"><param name=\"TRANSFORM\" type=\"float4x4\"/></accessor>"
           "</technique_common></source>\n",
           kJoints);
  const long influences = vertices * kInfluences;
  w.format("<source id=\"body-skin-weights\"><float_array id=\"body-skin-weights-array\" "
           "count=\"%ld\">",
           influences);
  static const double kWeights[kInfluences] = {0.4, 0.3, 0.2, 0.1};
  for (long i = 0; i < vertices; ++i) {
    for (double weight : kWeights) w.number(weight + 0.0001 * (i % 5));
  }
  w.format("</float_array><technique_common><accessor source=\"#body-skin-weights-array\" "
           "count=\"%ld\" stride=\"1\"><param name=\"WEIGHT\" type=\"float\"/></accessor>"
           "</technique_common></source>\n",
           influences);
  w.text("<joints><input semantic=\"JOINT\" source=\"#body-skin-joints\"/>"
         "<input semantic=\"INV_BIND_MATRIX\" source=\"#body-skin-bind-poses\"/></joints>\n");
  w.format("<vertex_weights count=\"%ld\"><input semantic=\"JOINT\" source=\"#body-skin-joints\" "
           "offset=\"0\"/><input semantic=\"WEIGHT\" source=\"#body-skin-weights\" offset=\"1\"/>"
           "<vcount>",
           vertices);
  for (long i = 0; i < vertices; ++i) w.text("4 ");
  w.text("</vcount><v>");
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < columns; ++c) {
      long vertex = static_cast<long>(r) * columns + c;
      int first = std::min(kJoints - kInfluences, c * kJoints / columns);
      for (int k = 0; k < kInfluences; ++k) {
        w.integer(first + k);
        w.integer(vertex * kInfluences + k);
      }
    }
  }
  w.text("</v></vertex_weights></skin></controller></library_controllers>\n");

  // Animations: one matrix channel per joint.
  w.text("<library_animations>\n");
  for (int j = 0; j < kJoints; ++j) {
    w.format("<animation id=\"Joint_%d-anim\"><source id=\"Joint_%d-input\"><float_array "
             "id=\"Joint_%d-input-array\" count=\"%d\">",
             j, j, j, kKeys);
    for (int k = 0; k < kKeys; ++k) w.number(k / 30.0);
    w.format("</float_array><technique_common><accessor source=\"#Joint_%d-input-array\" "
             "count=\"%d\" stride=\"1\"><param name=\"TIME\" type=\"float\"/></accessor>"
             "</technique_common></source>",
             j, kKeys);
    w.format("<source id=\"Joint_%d-output\"><float_array id=\"Joint_%d-output-array\" "
             "count=\"%d\">",
             j, j, kKeys * 16);
    for (int k = 0; k < kKeys; ++k) writeMatrix(w, 10.0 / kJoints, 0.001 * k, 0.002 * j);
    w.format("</float_array><technique_common><accessor source=\"#Joint_%d-output-array\" "
             "count=\"%d\" stride=\"16\"><param name=\"TRANSFORM\" type=\"float4x4\"/>"
             "</accessor></technique_common></source>",
             j, kKeys);
    w.format("<source id=\"Joint_%d-interpolation\"><Name_array id=\"Joint_%d-interpolation-array\" "
             "count=\"%d\">",
             j, j, kKeys);
    for (int k = 0; k < kKeys; ++k) w.text("LINEAR ");
    w.format("</Name_array><technique_common><accessor source=\"#Joint_%d-interpolation-array\" "
             "count=\"%d\" stride=\"1\"><param name=\"INTERPOLATION\" type=\"name\"/></accessor>"
             "</technique_common></source>",
             j, kKeys);
    w.format("<sampler id=\"Joint_%d-sampler\"><input semantic=\"INPUT\" source=\"#Joint_%d-input\"/>"
             "<input semantic=\"OUTPUT\" source=\"#Joint_%d-output\"/><input "
             "semantic=\"INTERPOLATION\" source=\"#Joint_%d-interpolation\"/></sampler>"
             "<channel source=\"#Joint_%d-sampler\" target=\"Joint_%d/transform\"/></animation>\n",
             j, j, j, j, j, j);
  }
  w.text("</library_animations>\n");

  // Scene: an armature with the joint chain, and the skinned mesh.
  w.text("<library_visual_scenes><visual_scene id=\"Scene\" name=\"Scene\">"
         "<node id=\"Armature\" name=\"Armature\" type=\"NODE\">"
         "<matrix sid=\"transform\">1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1</matrix>\n");
  for (int j = 0; j < kJoints; ++j) {
    w.format("<node id=\"Joint_%d\" name=\"Joint_%d\" sid=\"Joint_%d\" type=\"JOINT\">"
             "<matrix sid=\"transform\">",
             j, j, j);
    writeMatrix(w, j == 0 ? 0.0 : 10.0 / kJoints, 0, 0);
    w.text("</matrix>\n");
  }
  for (int j = 0; j < kJoints; ++j) w.text("</node>");
  w.text("</node>\n<node id=\"Body\" name=\"Body\" type=\"NODE\">"
         "<instance_controller url=\"#body-skin\"><skeleton>#Joint_0</skeleton>"
         "<bind_material><technique_common><instance_material symbol=\"skin-material\" "
         "target=\"#skin-material\"/></technique_common></bind_material></instance_controller>"
         "</node></visual_scene></library_visual_scenes>\n"
         "<scene><instance_visual_scene url=\"#Scene\"/></scene>\n</COLLADA>\n");
  std::fclose(file);
}

// 10,000 nodes: 100 shared parts in library_nodes (translate, rotate, scale, one cube each) and
// 99 groups of 99 scene nodes, each placed by translate, two rotates and scale and
// instancing one part.
void writeNodeScene(const fs::path& path) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) return;
  Writer w(file);
  w.text("<?xml version=\"1.0\"?>\n<COLLADA xmlns=\"http://www.collada.org/2005/11/COLLADASchema\" "
         "version=\"1.4.1\"><asset><unit meter=\"0.01\"/><up_axis>Y_UP</up_axis></asset>\n"
         "<library_geometries><geometry id=\"cube\"><mesh><source id=\"p\"><float_array count=\"24\">"
         "0 0 0 1 0 0 1 1 0 0 1 0 0 0 1 1 0 1 1 1 1 0 1 1</float_array><technique_common>"
         "<accessor stride=\"3\"/></technique_common></source><vertices id=\"v\"><input "
         "semantic=\"POSITION\" source=\"#p\"/></vertices><polygons count=\"6\" material=\"m\">"
         "<input semantic=\"VERTEX\" source=\"#v\" offset=\"0\"/><p>0 3 2 1</p><p>4 5 6 7</p>"
         "<p>0 1 5 4</p><p>1 2 6 5</p><p>2 3 7 6</p><p>3 0 4 7</p></polygons></mesh></geometry>"
         "</library_geometries>\n<library_nodes>");
  for (int part = 0; part < 100; ++part) {
    w.format("<node id=\"part%d\"><translate>%d 0 0</translate><rotate>0 1 0 %d</rotate>"
             "<scale>1 %g 1</scale><instance_geometry url=\"#cube\"><bind_material>"
             "<technique_common><instance_material symbol=\"m\" target=\"#mat\"/>"
             "</technique_common></bind_material></instance_geometry></node>\n",
             part, part % 7, part * 3, 1 + part * 0.01);
  }
  w.text("</library_nodes>\n<library_visual_scenes><visual_scene id=\"s\">");
  for (int group = 0; group < 99; ++group) {
    w.format("<node id=\"g%d\"><translate>0 %d 0</translate><rotate>0 0 1 %d</rotate>\n", group,
             group * 2, group);
    for (int child = 0; child < 99; ++child) {
      w.format("<node id=\"n%d_%d\"><translate>%d 0 %d</translate><rotate>0 0 1 %d</rotate>"
               "<rotate>1 0 0 %d</rotate><scale>0.5 0.5 0.5</scale><instance_node url=\"#part%d\"/>"
               "</node>\n",
               group, child, child, group, child * 5, child, (group * 99 + child) % 100);
    }
    w.text("</node>\n");
  }
  w.text("</visual_scene></library_visual_scenes>\n<scene><instance_visual_scene url=\"#s\"/>"
         "</scene></COLLADA>\n");
  std::fclose(file);
}

void writeLargeMesh(const fs::path& path) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) return;
  Writer w(file);
  constexpr int kColumns = 2500, kRows = 1000;
  const long columns = kColumns + 1, rows = kRows + 1, vertices = columns * rows;
  w.text("<?xml version=\"1.0\"?>\n<COLLADA xmlns=\"http://www.collada.org/2005/11/COLLADASchema\" "
         "version=\"1.4.1\"><asset><up_axis>Z_UP</up_axis></asset>\n<library_geometries><geometry id=\"g\"><mesh>");
  w.format("<source id=\"p\"><float_array count=\"%ld\">", vertices * 3);
  for (long r = 0; r < rows; ++r) {
    for (long c = 0; c < columns; ++c) w.format("%ld %ld %.3g\n", c, r, std::sin(c * 0.01) * std::cos(r * 0.02) * 30);
  }
  w.text("</float_array><technique_common><accessor stride=\"3\"/></technique_common></source>\n");
  w.format("<source id=\"n\"><float_array count=\"%ld\">", vertices * 3);
  for (long i = 0; i < vertices; ++i) w.text("0 0 1\n");
  w.text("</float_array><technique_common><accessor stride=\"3\"/></technique_common></source>\n"
         "<vertices id=\"v\"><input semantic=\"POSITION\" source=\"#p\"/></vertices>");
  w.format("<triangles count=\"%ld\"><input semantic=\"VERTEX\" source=\"#v\" offset=\"0\"/>"
           "<input semantic=\"NORMAL\" source=\"#n\" offset=\"0\"/><p>",
           2L * kColumns * kRows);
  for (long r = 0; r < kRows; ++r) {
    for (long c = 0; c < kColumns; ++c) {
      const long a = r * columns + c;
      w.format("%ld %ld %ld %ld %ld %ld\n", a, a + 1, a + columns, a + 1, a + columns + 1, a + columns);
    }
  }
  w.text("</p></triangles></mesh></geometry></library_geometries>\n<library_visual_scenes><visual_scene id=\"s\">"
         "<node id=\"mesh\"><instance_geometry url=\"#g\"/></node></visual_scene></library_visual_scenes>"
         "<scene><instance_visual_scene url=\"#s\"/></scene></COLLADA>\n");
  std::fclose(file);
}
