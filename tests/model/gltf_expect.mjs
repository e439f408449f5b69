// What each glTF file places, worked out by glTF-Transform, with none of the viewer's code:
// for the scene shown, the mesh instances (a node's EXT_mesh_gpu_instancing instances, else
// the node), their triangles, and the box of every vertex of every placed mesh at its node's
// world matrix (skinned meshes at their node too).
//
//   node gltf_expect.mjs NODE_MODULES_FOLDER FILE...
//
// One line per file on stdout, tab-separated:
//   OK  FILE  INSTANCES  TRIANGLES  MINX MINY MINZ MAXX MAXY MAXZ
//   ERR FILE  why glTF-Transform cannot read it
// The node walk and the world matrices are done here rather than by getBounds, which leaves
// out instancing and the vertices no index names, and follows a loop of nodes for ever.
import { createRequire } from 'node:module';
import path from 'node:path';
import { pathToFileURL } from 'node:url';

const [modules, ...files] = process.argv.slice(2);
const require = createRequire(path.join(path.resolve(modules), 'package.json'));
const load = (name) => import(pathToFileURL(require.resolve(name)).href);

const core = await load('@gltf-transform/core');
const extensions = await load('@gltf-transform/extensions');
const draco3d = (await load('draco3dgltf')).default;
const { MeshoptDecoder } = await load('meshoptimizer');
await MeshoptDecoder.ready;

const io = new core.NodeIO()
  .registerExtensions(extensions.ALL_EXTENSIONS)
  .registerDependencies({
    'draco3d.decoder': await draco3d.createDecoderModule(),
    'meshopt.decoder': MeshoptDecoder,
  });
io.setLogger(new core.Logger(core.Logger.Verbosity.SILENT));

// Column-major 4 x 4 matrices, as glTF writes them.
function multiply(a, b) {
  const out = new Array(16).fill(0);
  for (let c = 0; c < 4; ++c) {
    for (let r = 0; r < 4; ++r) {
      let s = 0;
      for (let k = 0; k < 4; ++k) s += a[k * 4 + r] * b[c * 4 + k];
      out[c * 4 + r] = s;
    }
  }
  return out;
}

function compose(t, q, s) {
  const [x, y, z, w] = q;
  const len = Math.hypot(x, y, z, w) || 1;
  const [qx, qy, qz, qw] = [x / len, y / len, z / len, w / len];
  return [
    (1 - 2 * (qy * qy + qz * qz)) * s[0], 2 * (qx * qy + qz * qw) * s[0], 2 * (qx * qz - qy * qw) * s[0], 0,
    2 * (qx * qy - qz * qw) * s[1], (1 - 2 * (qx * qx + qz * qz)) * s[1], 2 * (qy * qz + qx * qw) * s[1], 0,
    2 * (qx * qz + qy * qw) * s[2], 2 * (qy * qz - qx * qw) * s[2], (1 - 2 * (qx * qx + qy * qy)) * s[2], 0,
    t[0], t[1], t[2], 1,
  ];
}

function instancesOf(node) {
  const instancing = node.getExtension('EXT_mesh_gpu_instancing');
  if (!instancing) return [null];
  const [t, r, s] = ['TRANSLATION', 'ROTATION', 'SCALE'].map((name) => instancing.getAttribute(name));
  const count = (t || r || s)?.getCount() ?? 0;
  const out = [];
  for (let i = 0; i < count; ++i) {
    out.push(compose(t ? t.getElement(i, []) : [0, 0, 0], r ? r.getElement(i, []) : [0, 0, 0, 1],
                     s ? s.getElement(i, []) : [1, 1, 1]));
  }
  return out;
}

function trianglesOf(primitive) {
  const indices = primitive.getIndices();
  const position = primitive.getAttribute('POSITION');
  const n = indices ? indices.getCount() : position ? position.getCount() : 0;
  switch (primitive.getMode()) {
    case 4: return Math.floor(n / 3);
    case 5:
    case 6: return Math.max(n - 2, 0);
    default: return 0;
  }
}

async function expect(file) {
  const document = await io.read(file);
  const root = document.getRoot();
  const scene = root.getDefaultScene() || root.listScenes()[0];
  const roots = scene ? scene.listChildren() : root.listNodes().filter((n) => !n.getParentNode());
  const min = [Infinity, Infinity, Infinity], max = [-Infinity, -Infinity, -Infinity];
  let instances = 0, triangles = 0;
  const seen = new Set();
  const stack = roots.map((n) => [n, [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1]]).reverse();
  while (stack.length > 0) {
    const [node, parentWorld] = stack.pop();
    if (seen.has(node)) continue;
    seen.add(node);
    const world = multiply(parentWorld, node.getMatrix());
    const mesh = node.getMesh();
    if (mesh && mesh.listPrimitives().some((p) => p.getAttribute('POSITION'))) {
      const placements = instancesOf(node).map((m) => (m ? multiply(world, m) : world));
      for (const m of placements) {
        instances += 1;
        for (const primitive of mesh.listPrimitives()) {
          const position = primitive.getAttribute('POSITION');
          if (!position) continue;
          triangles += trianglesOf(primitive);
          const p = [0, 0, 0];
          for (let i = 0; i < position.getCount(); ++i) {
            position.getElement(i, p);
            for (let k = 0; k < 3; ++k) {
              const v = m[k] * p[0] + m[4 + k] * p[1] + m[8 + k] * p[2] + m[12 + k];
              min[k] = Math.min(min[k], v);
              max[k] = Math.max(max[k], v);
            }
          }
        }
      }
    }
    for (const child of [...node.listChildren()].reverse()) stack.push([child, world]);
  }
  return [instances, triangles, ...min, ...max];
}

for (const file of files) {
  try {
    const values = await expect(file);
    process.stdout.write(['OK', file, ...values.map((v) => (Number.isInteger(v) ? v : v.toPrecision(9)))].join('\t') + '\n');
  } catch (error) {
    process.stdout.write(['ERR', file, String(error.message || error).replace(/\s+/g, ' ')].join('\t') + '\n');
  }
}
