#version 450
// Pipeline 4: a translucent flat colour for collider shapes.
layout(location = 0) in vec3 worldNormal;
layout(location = 0) out vec4 outColor;

void main() { outColor = vec4(0.9, 0.3, 0.2, 0.4) * (0.6 + 0.4 * abs(normalize(worldNormal).z)); }
