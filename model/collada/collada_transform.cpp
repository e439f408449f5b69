#include "model/collada/collada_transform.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "model/collada/collada_context.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace collada {
namespace {

constexpr double kPi = 3.14159265358979323846;

struct Vec3 {
  double x, y, z;
};

Vec3 sub(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec3 cross(Vec3 a, Vec3 b) { return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x}; }
double dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
// `a` scaled to length 1; a zero vector stays zero.
Vec3 normalized(Vec3 a) {
  const double squared = dot(a, a);
  // Axes are mostly written at length 1, where dividing changes nothing.
  if (squared == 1) return a;
  double length = std::sqrt(squared);
  if (!(length > 0)) return {0, 0, 0};
  return {a.x / length, a.y / length, a.z / length};
}
Vec3 vec(const float* v) { return {v[0], v[1], v[2]}; }
Vec3 vec(const double* v) { return {v[0], v[1], v[2]}; }

// Rows of column vectors: column c of the result is the image of axis c.
Matrix4 fromColumns(Vec3 x, Vec3 y, Vec3 z, Vec3 t) {
  return {static_cast<float>(x.x), static_cast<float>(y.x), static_cast<float>(z.x), static_cast<float>(t.x),
          static_cast<float>(x.y), static_cast<float>(y.y), static_cast<float>(z.y), static_cast<float>(t.y),
          static_cast<float>(x.z), static_cast<float>(y.z), static_cast<float>(z.z), static_cast<float>(t.z),
          0, 0, 0, 1};
}

// The cosine and sine of an angle in degrees.
void cosineSine(double degrees, double& c, double& s) {
  const double radians = degrees * kPi / 180.0;
  c = std::cos(radians);
  s = std::sin(radians);
}

// The images of the three axes under the rotation by the angle of cosine `c` and sine `s`;
// false (and nothing set) for a zero axis, which leaves everything in place.
bool rotationColumns(Vec3 axis, double c, double s, Vec3& x, Vec3& y, Vec3& z) {
  Vec3 a = normalized(axis);
  if (a.x == 0 && a.y == 0 && a.z == 0) return false;
  const double t = 1 - c;
  x = {t * a.x * a.x + c, t * a.x * a.y + s * a.z, t * a.x * a.z - s * a.y};
  y = {t * a.x * a.y - s * a.z, t * a.y * a.y + c, t * a.y * a.z + s * a.x};
  z = {t * a.x * a.z + s * a.y, t * a.y * a.z - s * a.x, t * a.z * a.z + c};
  return true;
}

Matrix4 rotation(Vec3 axis, double degrees) {
  double c, s;
  cosineSine(degrees, c, s);
  Vec3 x, y, z;
  if (!rotationColumns(axis, c, s, x, y, z)) return kIdentityMatrix;
  return fromColumns(x, y, z, {0, 0, 0});
}

// Placed at `eye`, its -z axis towards `interest`, its y axis as near `up` as can be.
Matrix4 lookAt(Vec3 eye, Vec3 interest, Vec3 up) {
  Vec3 back = normalized(sub(eye, interest));
  Vec3 right = normalized(cross(up, back));
  Vec3 newUp = cross(back, right);
  return fromColumns(right, newUp, back, eye);
}

// The RenderMan skew: points move along the translation axis in proportion to their distance
// along the rotation axis, so that the rotation axis turns by `degrees` towards it.
Matrix4 skew(double degrees, Vec3 rotationAxis, Vec3 translationAxis) {
  Vec3 n2 = normalized(translationAxis);
  const double along = dot(rotationAxis, n2);
  Vec3 n1 = normalized(sub(rotationAxis, {n2.x * along, n2.y * along, n2.z * along}));
  const double an1 = dot(rotationAxis, n1);
  const double an2 = dot(rotationAxis, n2);
  const double radians = degrees * kPi / 180.0;
  const double rx = an1 * std::cos(radians) - an2 * std::sin(radians);
  const double ry = an1 * std::sin(radians) + an2 * std::cos(radians);
  // A turn past the perpendicular has no shear that reaches it.
  const double alpha = rx <= 0 || an1 == 0 ? 0 : ry / rx - an2 / an1;
  const double n1v[3] = {n1.x, n1.y, n1.z};
  const double n2v[3] = {n2.x, n2.y, n2.z};
  Matrix4 m = kIdentityMatrix;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) m[r * 4 + c] += static_cast<float>(alpha * n2v[r] * n1v[c]);
  }
  return m;
}

}  // namespace

int transformValueCount(std::string_view element) {
  // By first letter first: this runs for every child of every node.
  if (element.empty()) return 0;
  switch (element[0]) {
    case 'm': return element == "matrix" ? 16 : 0;
    case 't': return element == "translate" ? 3 : 0;
    case 's': return element == "scale" ? 3 : element == "skew" ? 7 : 0;
    case 'r': return element == "rotate" ? 4 : 0;
    case 'l': return element == "lookat" ? 9 : 0;
    default: return 0;
  }
}

Matrix4 transformMatrix(std::string_view element, const float* v) {
  switch (element.empty() ? '\0' : element[0]) {
    case 'm': {
      Matrix4 m;
      for (int i = 0; i < 16; ++i) m[i] = v[i];
      return m;
    }
    case 't': return {1, 0, 0, v[0], 0, 1, 0, v[1], 0, 0, 1, v[2], 0, 0, 0, 1};
    case 'r': return rotation(vec(v), v[3]);
    case 'l': return lookAt(vec(v), vec(v + 3), vec(v + 6));
    case 's':
      if (element == "skew") return skew(v[0], vec(v + 1), vec(v + 4));
      return {v[0], 0, 0, 0, 0, v[1], 0, 0, 0, 0, v[2], 0, 0, 0, 0, 1};
    default: return kIdentityMatrix;
  }
}

namespace {

// The value count of a transformation element's name, with `kind` its first letter ('k' for
// skew); 0 for any other name. Compared in place: every child of every node comes through here,
// and the first letter mostly decides.
int transformKind(const char* name, char& kind) {
  kind = name[0];
  switch (name[0]) {
    case 'm': return nameIs(name, "matrix") ? 16 : 0;
    case 't': return nameIs(name, "translate") ? 3 : 0;
    case 'r': return nameIs(name, "rotate") ? 4 : 0;
    case 'l': return nameIs(name, "lookat") ? 9 : 0;
    case 's':
      if (nameIs(name, "scale")) return 3;
      kind = 'k';
      return nameIs(name, "skew") ? 7 : 0;
    default: return 0;
  }
}

// The first `count` numbers of `chars` into `values` (zeros past the end of the text), when they
// are plain decimals ("-12.5", "3") separated by spaces and line feeds: such numbers are
// converted as forEachFloat converts them, digit by digit, without measuring the text first,
// and kept as doubles of those floats (the products are in double, and reading eight bytes
// back from two four-byte stores would stall).
// Returns false, with `values` in any state, for text of any other form.
bool readPlainValues(const char* p, int count, double* values) {
  static constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                            1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  for (int i = 0; i < count; ++i) {
    char c = *p;
    while (c == ' ' || c == '\n') c = *++p;
    if (c == '\0') {
      // Fewer numbers than the element takes: the rest read as 0.
      std::fill(values + i, values + count, 0.0);
      return true;
    }
    // A single digit, as most axes and many offsets are written.
    const unsigned single = static_cast<unsigned char>(c) - 0x30u;
    if (single < 10 && (p[1] == ' ' || p[1] == '\n' || p[1] == '\0')) {
      values[i] = single;
      ++p;
      continue;
    }
    const bool negative = c == '-';
    p += negative ? 1 : 0;
    const char* const first = p;
    uint64_t mantissa = 0;
    for (unsigned digit; (digit = static_cast<unsigned char>(*p) - 0x30u) < 10; ++p) {
      mantissa = mantissa * 10 + digit;
    }
    const auto wholeDigits = p - first;
    std::ptrdiff_t fraction = 0;
    if (*p == '.') {
      const char* const fractionStart = ++p;
      for (unsigned digit; (digit = static_cast<unsigned char>(*p) - 0x30u) < 10; ++p) {
        mantissa = mantissa * 10 + digit;
      }
      fraction = p - fractionStart;
    }
    const auto digits = wholeDigits + fraction;
    // Up to 15 digits both the integer and the power of ten are exact doubles, and one
    // division rounds correctly, as the general conversion does.
    c = *p;
    if (digits <= 0 || digits > 15 || (c != ' ' && c != '\n' && c != '\0')) return false;
    double v = static_cast<double>(mantissa);
    if (fraction > 0) v /= kPowersOfTen[fraction];
    values[i] = static_cast<float>(negative ? -v : v);  // rounded as the import rounds
  }
  return true;
}

}  // namespace

TransformProduct::TransformProduct(const Matrix4& start) {
  for (int i = 0; i < 16; ++i) m[i] = start[i];
}

Matrix4 TransformProduct::rounded() const {
  Matrix4 out;
#if defined(__SSE2__)
  // Four floats to a store, so that a copy of the result right after reads whole stores back.
  for (int i = 0; i < 16; i += 4) {
    const __m128 low = _mm_cvtpd_ps(_mm_loadu_pd(&m[i]));
    const __m128 high = _mm_cvtpd_ps(_mm_loadu_pd(&m[i + 2]));
    _mm_storeu_ps(&out[i], _mm_movelh_ps(low, high));
  }
#else
  for (int i = 0; i < 16; ++i) out[i] = static_cast<float>(m[i]);
#endif
  return out;
}

const TransformReader::Turn& TransformReader::turn(float degrees) {
  uint32_t key;
  std::memcpy(&key, &degrees, sizeof key);
  if (turns_.empty()) turns_.resize(kSlots);
  for (std::size_t slot = (key * 0x9E3779B1u) >> (32 - kSlotBits);; slot = (slot + 1) & (kSlots - 1)) {
    Turn& kept = turns_[slot];
    if (kept.used && kept.key == key) return kept;
    if (kept.used) continue;
    Turn& fresh = turnsKept_ < kMaxTurns ? kept : unkept_;
    if (&fresh == &kept) ++turnsKept_;
    fresh.key = key;
    fresh.used = true;
    cosineSine(degrees, fresh.c, fresh.s);
    return fresh;
  }
}

bool TransformReader::apply(pugi::xml_node child, const char* name, TransformProduct& product) {
  char kind;
  const int count = transformKind(name, kind);
  if (count == 0 || child.type() != pugi::node_element) return false;
  // Missing numbers read as 0, as for every number list of the import; only the `count` values
  // the element takes are set and read.
  double v[16];
  // The first text child, as textOf gives it, in one call.
  const char* chars = child.child_value();
  if (!readPlainValues(chars, count, v)) {
    std::fill(v, v + 16, 0.0);
    int read = 0;
    forEachFloat(chars, [&](float value) {
      v[read++] = value;
      return read < count;
    });
  }
  double* m = product.m;
  // Translations, scales and rotations touch only the columns they change.
  switch (kind) {
    case 't':
      for (int r = 0; r < 4; ++r) m[r * 4 + 3] += m[r * 4] * v[0] + m[r * 4 + 1] * v[1] + m[r * 4 + 2] * v[2];
      return true;
    case 's':
      for (int r = 0; r < 4; ++r) {
        for (int c = 0; c < 3; ++c) m[r * 4 + c] *= v[c];
      }
      return true;
    case 'r': {
      const Turn& angle = turn(static_cast<float>(v[3]));
      Vec3 x, y, z;
      if (!rotationColumns(vec(v), angle.c, angle.s, x, y, z)) return true;
      for (int r = 0; r < 4; ++r) {
        const double a = m[r * 4], b = m[r * 4 + 1], c = m[r * 4 + 2];
        m[r * 4] = a * x.x + b * x.y + c * x.z;
        m[r * 4 + 1] = a * y.x + b * y.y + c * y.z;
        m[r * 4 + 2] = a * z.x + b * z.y + c * z.z;
      }
      return true;
    }
    default: break;
  }
  Matrix4 e;
  switch (kind) {
    case 'm':
      for (int i = 0; i < 16; ++i) e[i] = static_cast<float>(v[i]);
      break;
    case 'l': e = lookAt(vec(v), vec(v + 3), vec(v + 6)); break;
    default: e = skew(v[0], vec(v + 1), vec(v + 4)); break;
  }
  double out[16];
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) {
      double sum = 0;
      for (int k = 0; k < 4; ++k) sum += m[r * 4 + k] * e[k * 4 + c];
      out[r * 4 + c] = sum;
    }
  }
  std::copy(out, out + 16, m);
  return true;
}

Matrix4 multiply(const Matrix4& a, const Matrix4& b) {
  // Each entry summed in double, in k order from 0, the same to the bit on either path.
  Matrix4 out;
#if defined(__SSE2__)
  // b's rows as doubles, two columns to a register.
  __m128d rows[4][2];
  for (int k = 0; k < 4; ++k) {
    rows[k][0] = _mm_cvtps_pd(_mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(&b[k * 4])));
    rows[k][1] = _mm_cvtps_pd(_mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(&b[k * 4 + 2])));
  }
  for (int r = 0; r < 4; ++r) {
    __m128d low = _mm_setzero_pd();
    __m128d high = _mm_setzero_pd();
    for (int k = 0; k < 4; ++k) {
      const __m128d factor = _mm_set1_pd(static_cast<double>(a[r * 4 + k]));
      low = _mm_add_pd(low, _mm_mul_pd(factor, rows[k][0]));
      high = _mm_add_pd(high, _mm_mul_pd(factor, rows[k][1]));
    }
    _mm_storeu_ps(&out[r * 4], _mm_movelh_ps(_mm_cvtpd_ps(low), _mm_cvtpd_ps(high)));
  }
#else
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) {
      double sum = 0;
      for (int k = 0; k < 4; ++k) sum += static_cast<double>(a[r * 4 + k]) * b[k * 4 + c];
      out[r * 4 + c] = static_cast<float>(sum);
    }
  }
#endif
  return out;
}

void transformPoint(const Matrix4& m, const float in[3], float out[3]) {
  for (int r = 0; r < 3; ++r) {
    out[r] = static_cast<float>(static_cast<double>(m[r * 4]) * in[0] +
                                static_cast<double>(m[r * 4 + 1]) * in[1] +
                                static_cast<double>(m[r * 4 + 2]) * in[2] + m[r * 4 + 3]);
  }
}

Matrix4 upAxisMatrix(std::string_view upAxis) {
  // Each document axis keeps its role (right, up, in): Y-up (x, y, z) is Z-up (x, -z, y), and
  // X-up, whose right is -y, is (-y, -z, x).
  if (upAxis == "Y_UP") return {1, 0, 0, 0, 0, 0, -1, 0, 0, 1, 0, 0, 0, 0, 0, 1};
  if (upAxis == "X_UP") return {0, -1, 0, 0, 0, 0, -1, 0, 1, 0, 0, 0, 0, 0, 0, 1};
  return kIdentityMatrix;
}

}  // namespace collada
