#include "reference_identification.h"

#include <algorithm>
#include <cmath>
#include <complex>

namespace vb::sim::testing {
namespace {

constexpr double kTravel = 0.17453292519943295;  // 10 degrees
constexpr double kDt = kControlPeriod;
constexpr int kParamIds[3] = {43, 45, 26};

void fftInPlace(std::vector<std::complex<double>>& a) {
  const size_t n = a.size();
  for (size_t i = 1, j = 0; i < n; ++i) {
    size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(a[i], a[j]);
  }
  for (size_t len = 2; len <= n; len <<= 1) {
    const std::complex<double> w = std::polar(1.0, -2.0 * kPi / static_cast<double>(len));
    for (size_t i = 0; i < n; i += len) {
      std::complex<double> wk(1.0, 0.0);
      for (size_t k = 0; k < len / 2; ++k) {
        const auto u = a[i + k];
        const auto v = a[i + k + len / 2] * wk;
        a[i + k] = u + v;
        a[i + k + len / 2] = u - v;
        wk *= w;
      }
    }
  }
}

void pollStep(RobotModel& m, int32_t id) {
  for (int guard = 0; guard < 100000; ++guard) {
    m.advance();
    if (m.taskState(id) != TaskState::ST_Running) return;
  }
}

}  // namespace

Spectrum meanAmplitudeSpectrum(const std::vector<double>& samples, double dt) {
  Spectrum s;
  if (samples.size() < 2) return s;
  size_t n = 1;
  while (n * 2 <= samples.size()) n *= 2;
  const size_t len = std::min<size_t>(n, 1024);
  const size_t hop = len / 2;
  const size_t segments = (n - len) / hop + 1;
  s.bin_hz = 1.0 / (static_cast<double>(len) * dt);
  s.amp.assign(len / 2, 0.0);
  std::vector<std::complex<double>> buf(len);
  for (size_t seg = 0; seg < segments; ++seg) {
    for (size_t i = 0; i < len; ++i) {
      const double w =
          0.54 - 0.46 * std::cos(2.0 * kPi * static_cast<double>(i) / static_cast<double>(len));
      buf[i] = {samples[seg * hop + i] * w, 0.0};
    }
    fftInPlace(buf);
    for (size_t i = 0; i < len / 2; ++i) s.amp[i] += std::abs(buf[i]) / static_cast<double>(len);
  }
  for (auto& a : s.amp) a /= static_cast<double>(segments);
  return s;
}

std::vector<size_t> localMaxima(const std::vector<double>& amp) {
  std::vector<size_t> out;
  for (size_t i = 1; i + 1 < amp.size(); ++i) {
    if (amp[i] > amp[i - 1] && amp[i] > amp[i + 1]) out.push_back(i);
  }
  return out;
}

double amplitudeAt(const Spectrum& s, double f) {
  double best_f = 0.0;
  double a = 0.0;
  for (size_t i = 0; i < s.amp.size(); ++i) {
    const double fi = static_cast<double>(i) * s.bin_hz;
    if (std::fabs(f - best_f) > std::fabs(f - fi)) {
      best_f = fi;
      a = s.amp[i];
    }
  }
  return a;
}

std::vector<double> sampledMove(RobotModel& m, int joint, double target, double v) {
  std::vector<double> samples;
  m.advance();
  std::vector<double> targets = m.positions();
  targets[joint] = target;
  const int32_t id = m.movej2(targets, v, 20.0 * v);
  for (int guard = 0; guard < 1000000; ++guard) {
    m.advance();
    if (m.taskState(id) == TaskState::ST_Running) {
      const double a = m.actualSpeeds()[joint];
      const double t = m.targetSpeeds()[joint];
      if (std::fabs(t) - v < 0.001) samples.push_back((a - t) * 180.0 / kPi);
      continue;
    }
    const int32_t again = m.taskState(id);
    if (again == TaskState::ST_Finished || m.taskState(id) == TaskState::ST_Error) break;
  }
  return samples;
}

void applyCompensation(RobotModel& m, int joint, const int orders[3], const double phases[3],
                       const double currents[3]) {
  for (int s = 0; s < 3; ++s) {
    const bool repeated = (s >= 1 && orders[s] == orders[0]) || (s == 2 && orders[2] == orders[1]);
    if (orders[s] == 0 || repeated) continue;
    const auto word = static_cast<int32_t>(encodeServoWord(orders[s], phases[s], currents[s]));
    pollStep(m, m.setServoConfig(joint, kParamIds[s], word));
  }
  pollStep(m, m.applyServoConfig(joint));
}

Identified identify(RobotModel& m, int joint) {
  const JointConfig& cfg = m.config().joints[joint];
  const int nominal[3] = {cfg.pole_pairs, 2 * cfg.pole_pairs, cfg.stator_slots};
  Identified id;
  for (int p : kParamIds) pollStep(m, m.setServoConfig(joint, p, 0));  // the reset's zero words
  pollStep(m, m.applyServoConfig(joint));
  id.worst_speed = 0.5 * kPi / 180.0;

  // Traversal.
  const double v_start = 0.008726646259971648, v_max = 0.03490658503988659,
               v_step = 0.0017453292519943296;
  std::vector<std::pair<double, double>> tops;  // speed, largest in-window peak
  for (double v = v_start; v <= v_max; v += v_step) {
    const double start = m.positions()[joint];
    std::vector<double> samples = sampledMove(m, joint, start + kTravel, v);
    const std::vector<double> back = sampledMove(m, joint, start, v);
    samples.insert(samples.end(), back.begin(), back.end());
    const Spectrum s = meanAmplitudeSpectrum(samples, kDt);
    const double k = cfg.gear_ratio * v / 6.283185307179586;
    double cand_f[3] = {0, 0, 0}, cand_a[3] = {0, 0, 0};
    double top = 0.0;
    for (size_t p : localMaxima(s.amp)) {
      const double f = static_cast<double>(p) * s.bin_hz;
      for (int x = 0; x < 3; ++x) {
        if (std::fabs(f / k - nominal[x]) >= 1.0) continue;
        top = std::max(top, s.amp[p]);
        if (s.amp[p] > id.amp[x]) {
          cand_f[x] = f;
          cand_a[x] = s.amp[p];
        }
      }
    }
    tops.emplace_back(v, top);
    if (*std::max_element(cand_a, cand_a + 3) > *std::max_element(id.amp, id.amp + 3)) {
      id.worst_speed = v;
      for (int x = 0; x < 3; ++x) {
        id.slot_margin[x] = cand_a[x] / std::max(id.amp[x], 1e-12);
        const bool found = cand_a[x] > 0.01;
        id.freq[x] = found ? cand_f[x] : 0.0;
        id.amp[x] = found ? cand_a[x] : 0.0;
        id.feat_order[x] = found ? nominal[x] : 0;
      }
    }
  }
  double worst = 0.0, others = 1e-12;
  for (const auto& [v, top] : tops) {
    if (v == id.worst_speed) {
      worst = top;
    } else {
      others = std::max(others, top);
    }
  }
  id.worst_margin = worst / others;

  // Phase scan at 1.2, then current scan at the found phases; one value per move.
  const double v = id.worst_speed;
  auto scan = [&](double first, double limit, double step, bool phase_scan) {
    double best[3] = {999.0, 999.0, 999.0};
    double second[3] = {999.0, 999.0, 999.0};
    double value = first;
    double start = m.positions()[joint];
    for (int move = 0; value <= limit; ++move, value += step) {
      const double p[3] = {phase_scan ? value : id.phase[0], phase_scan ? value : id.phase[1],
                           phase_scan ? value : id.phase[2]};
      const double c[3] = {phase_scan ? 1.2 : value, phase_scan ? 1.2 : value,
                           phase_scan ? 1.2 : value};
      applyCompensation(m, joint, id.feat_order, p, c);
      if (move % 2 == 0) start = m.positions()[joint];
      const Spectrum s = meanAmplitudeSpectrum(
          sampledMove(m, joint, move % 2 == 0 ? start + kTravel : start, v), kDt);
      for (int x = 0; x < 3; ++x) {
        double& optimum = phase_scan ? id.phase[x] : id.current[x];
        if (id.freq[x] < 0.0001) {
          optimum = 0.0;
          continue;
        }
        const double a = amplitudeAt(s, id.freq[x]);
        if (a < best[x])
          second[x] = best[x];
        else if (a < second[x])
          second[x] = a;
        if (a < best[x]) {
          best[x] = a;
          optimum = value;
        }
      }
    }
    for (int x = 0; x < 3; ++x) {
      (phase_scan ? id.phase_margin : id.current_margin)[x] = second[x] / std::max(best[x], 1e-12);
    }
  };
  scan(0.0, 6.2, 0.2, true);
  scan(0.0, 2.1, 0.3, false);

  // Verification: both moves with the optimum applied.
  applyCompensation(m, joint, id.feat_order, id.phase, id.current);
  const double start = m.positions()[joint];
  std::vector<double> samples = sampledMove(m, joint, start + kTravel, v);
  const std::vector<double> back = sampledMove(m, joint, start, v);
  samples.insert(samples.end(), back.begin(), back.end());
  const Spectrum s = meanAmplitudeSpectrum(samples, kDt);
  for (int x = 0; x < 3; ++x) id.residual[x] = amplitudeAt(s, id.freq[x]);
  return id;
}

}  // namespace vb::sim::testing
