// Each function is one shader stage; a line "//! name" starts it. Positions
// are drawable pixels, origin lower left, y up; the viewport uniform is the
// drawable's size. A cell record makes six vertices, two triangles over its
// four corners: indexed, the record is read from the buffer texture by
// gl_VertexID / 4 and the corner is gl_VertexID % 4 (one draw per layer, each
// corner shaded once); where the buffer is too large for a buffer texture the
// record comes as an instance and the corner is gl_VertexID % 6.

//! terminal_text_vertex
layout(location = 0) in vec2 position;
layout(location = 1) in vec2 texCoord;
layout(location = 2) in vec4 color;
uniform vec2 viewport;
out vec2 vTexCoord;
out vec4 vColor;
void main() {
    gl_Position = vec4(position / viewport * 2.0 - 1.0, 0.0, 1.0);
    vTexCoord = texCoord;
    vColor = color;
}

//! terminal_cell_text_vertex
layout(location = 0) in vec2 position;
layout(location = 1) in vec2 size;
layout(location = 3) in vec2 texOrigin;
layout(location = 4) in vec2 texSize;
layout(location = 2) in vec4 color;
uniform vec2 viewport;
uniform sampler2D atlas;
uniform samplerBuffer records;
uniform bool fromRecords;
out vec2 vTexCoord;
out vec4 vColor;
const vec2 corners[6] = vec2[6](vec2(0, 0), vec2(1, 0), vec2(0, 1), vec2(1, 0), vec2(1, 1), vec2(0, 1));
const vec2 quad[4] = vec2[4](vec2(0, 0), vec2(1, 0), vec2(0, 1), vec2(1, 1));
void main() {
    vec2 corner = fromRecords ? quad[gl_VertexID % 4] : corners[gl_VertexID % 6];
    vec4 place = vec4(position, size);
    vec4 tex = vec4(texOrigin, texSize);
    vec4 tint = color;
    if (fromRecords) {
        int at = (gl_VertexID / 4) * 3;
        place = texelFetch(records, at);
        tex = texelFetch(records, at + 1);
        tint = texelFetch(records, at + 2);
    }
    gl_Position = vec4((place.xy + corner * place.zw) / viewport * 2.0 - 1.0, 0.0, 1.0);
    vTexCoord = (tex.xy + corner * tex.zw) / vec2(textureSize(atlas, 0));
    vColor = tint;
}

//! terminal_text_fragment
in vec2 vTexCoord;
in vec4 vColor;
uniform sampler2D atlas;
out vec4 fragColor;
void main() {
    // Colour texels are premultiplied already; the record only fades them.
    fragColor = texture(atlas, vTexCoord) * vColor.a;
}

//! terminal_text_fragment_gray
in vec2 vTexCoord;
in vec4 vColor;
uniform sampler2D atlas;
out vec4 fragColor;
void main() {
    float coverage = texture(atlas, vTexCoord).r * vColor.a;
    fragColor = vec4(vColor.rgb * coverage, coverage);
}

//! terminal_color_vertex
layout(location = 0) in vec2 position;
layout(location = 2) in vec4 color;
uniform vec2 viewport;
out vec4 vColor;
void main() {
    gl_Position = vec4(position / viewport * 2.0 - 1.0, 0.0, 1.0);
    vColor = color;
}

//! terminal_cell_color_vertex
layout(location = 0) in vec2 position;
layout(location = 1) in vec2 size;
layout(location = 2) in vec4 color;
uniform vec2 viewport;
uniform samplerBuffer records;
uniform bool fromRecords;
out vec4 vColor;
const vec2 corners[6] = vec2[6](vec2(0, 0), vec2(1, 0), vec2(0, 1), vec2(1, 0), vec2(1, 1), vec2(0, 1));
const vec2 quad[4] = vec2[4](vec2(0, 0), vec2(1, 0), vec2(0, 1), vec2(1, 1));
void main() {
    vec2 corner = fromRecords ? quad[gl_VertexID % 4] : corners[gl_VertexID % 6];
    vec4 place = vec4(position, size);
    vec4 tint = color;
    if (fromRecords) {
        int at = (gl_VertexID / 4) * 2;
        place = texelFetch(records, at);
        tint = texelFetch(records, at + 1);
    }
    gl_Position = vec4((place.xy + corner * place.zw) / viewport * 2.0 - 1.0, 0.0, 1.0);
    vColor = tint;
}

//! terminal_color_fragment
in vec4 vColor;
out vec4 fragColor;
void main() {
    fragColor = vColor;
}
