"""Parametric stereo tables: band layouts (k -> parameter band maps, hybrid
sub-subband order, phase-sign flags), hybrid analysis filters, decorrelator
fractional-delay phasors and constants, IID/ICC mixing matrices of both
mixing procedures and the IPD/OPD smoothing phasors.

Everything is derived from the ps_*.tbl files (ISO/IEC 14496-3 subpart 8);
derived values are computed in double precision and rounded once to float.
"""
import math
import struct


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


def flt(x):
    """Float literal; values that are zero up to rounding of the trigonometry
    are written as 0."""
    v = f32(x) if abs(x) > 1e-12 else 0.0
    t = "%.9g" % v
    return t + "f" if ("e" in t or "." in t) else t + ".0f"


def rows(values, per_line=8, indent="    "):
    return "\n".join(indent + ", ".join(values[i:i + per_line]) + ","
                     for i in range(0, len(values), per_line))


def named(table):
    return {r[0]: r[1] for r in table.rows}


def band_configs(tables):
    cfg = tables["ps_band_config"]
    out = {}
    for row in cfg.rows:
        rec = dict(zip(cfg.columns, row))
        out[int(rec["config"])] = {k: int(v) for k, v in rec.items()}
    return out


def layout(tables, bands, cfg, constants):
    """k-domain description of one layout, checked against the group tables."""
    borders = [int(v) for v in tables[f"ps_group_border_{bands}"].column("border")]
    gmap = tables[f"ps_group_map_{bands}"]
    par = [int(v) for v in gmap.column("param_band")]
    neg = [int(v) for v in gmap.column("negate_ipd")]
    k_to_i = [int(v) for v in tables[f"ps_k_to_i_{bands}"].column("i")]
    hyb = cfg["nr_hybrid_k"]
    split = cfg["nr_hybrid_qmf"]
    groups = cfg["num_groups"]
    assert len(borders) == groups + 1 and borders[-1] == 64
    assert len(k_to_i) == cfg["nr_k_bands"] == hyb + 64 - split
    # Hybrid groups are single sub-subbands k = g; QMF groups cover k = b + offset.
    offset = hyb - split
    for g in range(groups):
        if g < cfg["num_hybrid_groups"]:
            assert k_to_i[g] == par[g], (bands, g)
        else:
            for b in range(borders[g], borders[g + 1]):
                assert k_to_i[b + offset] == par[g], (bands, g, b)
    # Sub-subband s of the filter outputs -> k (the 20-band layout adds s4
    # into s3 and s5 into s2).
    subbands = 12 if bands == 20 else 32
    k_of_s = [-1] * subbands
    for g in range(cfg["num_hybrid_groups"]):
        k_of_s[borders[g]] = g
    if bands == 20:
        k_of_s[4] = k_of_s[3]
        k_of_s[5] = k_of_s[2]
    assert all(k >= 0 for k in k_of_s)
    negate = [neg[k] if k < hyb else 0 for k in range(len(k_to_i))]
    allpass_end = constants["allpass_last_qmf_band"] + 1 + offset
    short_delay = constants["short_delay_first_qmf_band"] + offset
    return {
        "k_to_i": k_to_i,
        "k_of_s": k_of_s,
        "negate": negate,
        "allpass_end": allpass_end,
        "short_delay": short_delay,
        "offset": offset,
    }


def hybrid_filter(tables, name, bands):
    """Coefficients c[q][j], j = 0..6, of a complex Q-band hybrid filter in
    the symmetric form used by the kernels: with w[j] the input slots n-6 ..
    n+6, y_q(n) = g(6) w[6] + sum_j c[q][j] w[j] + conj(c[q][j]) w[12-j],
    c[q][j] = g(j) exp(-i 2 pi (q + 1/2) (j - 6) / Q)."""
    g = [float(v) for v in tables[name].column("g")]
    assert len(g) == 13 and all(abs(g[n] - g[12 - n]) < 1e-15 for n in range(13))
    out = []
    for q in range(bands):
        coefs = []
        for j in range(7):
            w = 2 * math.pi * (q + 0.5) * (j - 6) / bands
            coefs.append((g[j] * math.cos(w), -g[j] * math.sin(w)))
        out.append(coefs)
    return out


def phasors(tables, bands, cfg, lay, constants):
    """phi_fract(k) and Q_fract(k, m) for the all-pass bands k < allpass_end."""
    fc = tables[f"ps_fcenter_{bands}"]
    centres = [int(n) / int(d) for n, d in zip(fc.column("num"), fc.column("den"))]
    q_link = [float(v) for v in tables["ps_allpass_links"].column("q")]
    q_phi = constants["q_phi"]
    phi, qf = [], []
    for k in range(lay["allpass_end"]):
        f = centres[k] if k < cfg["nr_hybrid_k"] else (k - lay["offset"]) + 0.5
        phi.append((math.cos(-math.pi * q_phi * f), math.sin(-math.pi * q_phi * f)))
        qf.append([(math.cos(-math.pi * q * f), math.sin(-math.pi * q * f)) for q in q_link])
    return phi, qf


def mixing(tables, quant, procedure):
    """h11, h12, h21, h22 for every IID step and ICC index."""
    iid_db = [float(v) for v in tables[quant].column("iid_db")]
    rho_tab = [float(v) for v in tables["ps_icc_quant"].column("rho")]
    out = []
    for db in iid_db:
        c = 10.0 ** (db / 20.0)
        per_icc = []
        for rho in rho_tab:
            if procedure == 0:
                c1 = math.sqrt(2.0) / math.sqrt(1.0 + c * c)
                c2 = c * c1
                alpha = 0.5 * math.acos(max(-1.0, min(1.0, rho)))
                beta = alpha * (c1 - c2) / math.sqrt(2.0)
                h = (c2 * math.cos(beta + alpha), c1 * math.cos(beta - alpha),
                     c2 * math.sin(beta + alpha), c1 * math.sin(beta - alpha))
            else:
                r = max(rho, 0.05)
                if abs(c - 1.0) < 1e-12:
                    alpha = math.pi / 4
                else:
                    alpha = 0.5 * math.atan(2.0 * c * r / (c * c - 1.0))
                    if alpha < 0:
                        alpha += math.pi / 2
                mu = 1.0 + (4.0 * r * r - 4.0) / (c + 1.0 / c) ** 2
                smu = math.sqrt(mu)
                gamma = math.atan(math.sqrt((1.0 - smu) / (1.0 + smu)))
                s2 = math.sqrt(2.0)
                h = (s2 * math.cos(alpha) * math.cos(gamma), s2 * math.sin(alpha) * math.cos(gamma),
                     -s2 * math.sin(alpha) * math.sin(gamma), s2 * math.cos(alpha) * math.sin(gamma))
            per_icc.append(h)
        out.append(per_icc)
    return out


def phase_smoothing():
    """Unit phasor of e^{j a} + 0.5 e^{j b} + 0.25 e^{j c} for the current
    index a and the two earlier ones b, c (index = c * 64 + b * 8 + a)."""
    out = []
    step = math.pi / 4
    for c in range(8):
        for b in range(8):
            for a in range(8):
                re = math.cos(a * step) + 0.5 * math.cos(b * step) + 0.25 * math.cos(c * step)
                im = math.sin(a * step) + 0.5 * math.sin(b * step) + 0.25 * math.sin(c * step)
                m = math.hypot(re, im)
                out.append((re / m, im / m))
    return out


def c_int_array(name, ctype, values, per_line=16):
    return f"const {ctype} {name}[{len(values)}] = {{\n" + rows(
        [str(v) for v in values], per_line) + "\n};\n\n"


def c_complex_rows(values):
    return [f"{{{flt(a)}, {flt(b)}}}" for a, b in values]


def generate(tables):
    constants = {k: float(v) for k, v in named(tables["ps_decorr_constants"]).items()}
    for k in ("allpass_links", "allpass_last_qmf_band", "short_delay_first_qmf_band",
              "delay_slots_below_short_delay_band", "delay_slots_from_short_delay_band",
              "allpass_extra_delay_slots"):
        constants[k] = int(constants[k])
    cfgs = band_configs(tables)
    lays = {b: layout(tables, b, cfgs[b], constants) for b in (20, 34)}
    links = tables["ps_allpass_links"]
    link_delay = [int(v) for v in links.column("d")]
    link_coef = [float(v) for v in links.column("a")]
    assert len(link_delay) == constants["allpass_links"] == 3

    hdr = "// Generated by tools/gen_tables.py (tools/tablegen/ps.py). Do not edit.\n"
    h = hdr + """#pragma once

#include <cstdint>

// Parametric stereo tables (ISO/IEC 14496-3, 8.6.4).  Layout index 0 is the
// 10/20-band layout, 1 the 34-band layout.  The k domain numbers the hybrid
// sub-subbands first (in group order), then the QMF bands that are not split
// (k = QMF band + kPsLayout[x].qmf_offset).
struct PsLayoutTables {
  int32_t par_bands;        // IID/ICC parameter bands (20, 34)
  int32_t phase_bands;      // IPD/OPD parameter bands (11, 17)
  int32_t k_bands;          // sub-subbands plus unsplit QMF bands (71, 91)
  int32_t hybrid_k;         // hybrid sub-subbands (10, 32)
  int32_t split_qmf;        // QMF bands split by the hybrid filters (3, 5)
  int32_t qmf_offset;       // k of QMF band b >= split_qmf is b + qmf_offset
  int32_t decay_cutoff_k;   // all-pass decay starts above this k
  int32_t allpass_end_k;    // first k with a plain delay instead of the all-pass chain
  int32_t short_delay_k;    // first k with the one-slot delay
  const int8_t* k_to_i;     // parameter band of every k
  const int8_t* negate_phase;  // 1 where the sub-subband has a negative centre frequency
  const int8_t* k_of_subband;  // k that hybrid filter output s feeds
};
extern const PsLayoutTables kPsLayout[2];

// Hybrid analysis filters in symmetric form (see tools/tablegen/ps.py):
// c[q][j] for input slots j = 0..5 (and their mirrors 12 - j), complex; the
// centre tap g(6) is real.
extern const float kPsHybrid8x20[8][6][2];    // QMF band 0, 10/20-band layout
extern const float kPsHybrid12x34[12][6][2];  // QMF band 0, 34-band layout
extern const float kPsHybrid8x34[8][6][2];    // QMF band 1, 34-band layout
extern const float kPsHybrid4x34[4][6][2];    // QMF bands 2..4, 34-band layout
extern const float kPsHybridCentre8x20;
extern const float kPsHybridCentre12x34;
extern const float kPsHybridCentre8x34;
extern const float kPsHybridCentre4x34;
// Real two-band filter (QMF bands 1 and 2 of the 10/20-band layout): the odd
// taps g(1), g(3), g(5) and the centre g(6); the other taps are zero.
extern const float kPsHybrid2Odd[3];
extern const float kPsHybrid2Centre;

// Decorrelator: fractional-delay phasors phi_fract(k) and Q_fract(k, m) of
// the all-pass bands, the all-pass links and the transient detector.
extern const float kPsPhiFract20[30][2];
extern const float kPsQFract20[30][3][2];
extern const float kPsPhiFract34[50][2];
extern const float kPsQFract34[50][3][2];
inline constexpr int32_t kPsAllpassLinks = 3;
extern const int32_t kPsLinkDelay[3];   // slots
extern const float kPsLinkCoef[3];      // a(m)
inline constexpr int32_t kPsAllpassPreDelay = %(pre)d;  // slots before the chain
inline constexpr int32_t kPsLongDelay = %(long)d;       // plain delay below the short-delay bands
inline constexpr int32_t kPsShortDelay = %(short)d;
extern const float kPsDecaySlope;
extern const float kPsPeakDecay;
extern const float kPsSmoothing;
extern const float kPsTransientImpact;

// Mixing matrices (h11, h12, h21, h22) by procedure (0 first, 1 second),
// IID step (index + 7 coarse, index + 15 fine) and ICC index.
extern const float kPsMixCoarse[2][15][8][4];
extern const float kPsMixFine[2][31][8][4];

// IPD/OPD: unit phasor of e^{j pi a/4} + 0.5 e^{j pi b/4} + 0.25 e^{j pi c/4}
// at index c * 64 + b * 8 + a (a current, b and c the two before).
extern const float kPsPhaseSmooth[512][2];
""" % {"pre": constants["allpass_extra_delay_slots"],
       "long": constants["delay_slots_below_short_delay_band"],
       "short": constants["delay_slots_from_short_delay_band"]}

    cpp = hdr + '#include "ps/ps_tables.h"\n\nnamespace {\n\n'
    for b in (20, 34):
        lay = lays[b]
        cpp += c_int_array(f"kKToI{b}", "int8_t", lay["k_to_i"])
        cpp += c_int_array(f"kNegate{b}", "int8_t", lay["negate"])
        cpp += c_int_array(f"kKOfSubband{b}", "int8_t", lay["k_of_s"])
    cpp += "}  // namespace\n\nconst PsLayoutTables kPsLayout[2] = {\n"
    for b in (20, 34):
        cfg, lay = cfgs[b], lays[b]
        cpp += (f"    {{{cfg['nr_par_bands']}, {cfg['nr_ipdopd_bands']}, {cfg['nr_k_bands']}, "
                f"{cfg['nr_hybrid_k']}, {cfg['nr_hybrid_qmf']}, {lay['offset']}, "
                f"{cfg['decay_cutoff_k']}, {lay['allpass_end']}, {lay['short_delay']}, "
                f"kKToI{b}, kNegate{b}, kKOfSubband{b}}},\n")
    cpp += "};\n\n"

    for name, tbl, q in (("kPsHybrid8x20", "ps_hybrid_proto_8_20", 8),
                         ("kPsHybrid12x34", "ps_hybrid_proto_12_34", 12),
                         ("kPsHybrid8x34", "ps_hybrid_proto_8_34", 8),
                         ("kPsHybrid4x34", "ps_hybrid_proto_4_34", 4)):
        coefs = hybrid_filter(tables, tbl, q)
        cpp += f"const float {name}[{q}][6][2] = {{\n"
        for qq in range(q):
            cpp += "    {" + ", ".join(c_complex_rows(coefs[qq][:6])) + "},\n"
        cpp += "};\n"
        centre = float(tables[tbl].column("g")[6])
        cpp += f"const float kPsHybridCentre{name[len('kPsHybrid'):]} = {flt(centre)};\n\n"
    g2 = [float(v) for v in tables["ps_hybrid_proto_2"].column("g")]
    assert g2[0] == g2[2] == g2[4] == 0.0
    cpp += "const float kPsHybrid2Odd[3] = {" + ", ".join(flt(g2[j]) for j in (1, 3, 5)) + "};\n"
    cpp += f"const float kPsHybrid2Centre = {flt(g2[6])};\n\n"

    for b in (20, 34):
        phi, qf = phasors(tables, b, cfgs[b], lays[b], constants)
        n = len(phi)
        cpp += f"const float kPsPhiFract{b}[{n}][2] = {{\n" + rows(c_complex_rows(phi), 3) + "\n};\n"
        cpp += f"const float kPsQFract{b}[{n}][3][2] = {{\n"
        for links_k in qf:
            cpp += "    {" + ", ".join(c_complex_rows(links_k)) + "},\n"
        cpp += "};\n\n"
    cpp += "const int32_t kPsLinkDelay[3] = {" + ", ".join(str(d) for d in link_delay) + "};\n"
    cpp += "const float kPsLinkCoef[3] = {" + ", ".join(flt(a) for a in link_coef) + "};\n"
    cpp += f"const float kPsDecaySlope = {flt(constants['decay_slope'])};\n"
    cpp += f"const float kPsPeakDecay = {flt(constants['peak_decay_alpha'])};\n"
    cpp += f"const float kPsSmoothing = {flt(constants['smoothing_alpha'])};\n"
    cpp += f"const float kPsTransientImpact = {flt(constants['transient_impact_gamma'])};\n\n"

    for name, quant, steps in (("kPsMixCoarse", "ps_iid_quant_coarse", 15),
                               ("kPsMixFine", "ps_iid_quant_fine", 31)):
        cpp += f"const float {name}[2][{steps}][8][4] = {{\n"
        for proc in (0, 1):
            cpp += "    {\n"
            for per_icc in mixing(tables, quant, proc):
                cpp += "        {\n"
                for h4 in per_icc:
                    cpp += "            {" + ", ".join(flt(v) for v in h4) + "},\n"
                cpp += "        },\n"
            cpp += "    },\n"
        cpp += "};\n\n"

    cpp += "const float kPsPhaseSmooth[512][2] = {\n" + rows(c_complex_rows(phase_smoothing()), 4) + "\n};\n"
    return {"ps/ps_tables.h": h, "ps/ps_tables.cpp": cpp}
