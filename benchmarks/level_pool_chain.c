/* The bare dependent chain of level pool routing: one simulated second is
 * only its arithmetic, with every curve segment fixed and nothing else.
 *
 *   spill = interpolation on the spillway segment at E + offset
 *   gate  = the smaller of the gate segment's interpolation at E and its cap
 *   Q     = 0 + spill + gate + scheduled release (capped) + constant release
 *   S     = the larger of (S + inflow term) - Q and 0
 *   E     = interpolation on the storage segment at S
 *
 * No range checks, no segment search, no gates, no recording, no errors.
 * The inflow term ((I_prev + I) * 0.5) and the scheduled release of each
 * second are read from arrays of one inflow step, repeated.  Built by
 * bench_reservoir.py with  cc -O2 -ffp-contract=off -shared -fPIC.
 */
#include <stddef.h>

struct chain_params {
    double storage_x0, storage_x1, storage_y0, storage_y1; /* storage -> elevation */
    double spill_x0, spill_x1, spill_y0, spill_y1, spill_offset;
    double gate_x0, gate_x1, gate_y0, gate_y1, gate_cap;
    double release_cap, constant;
};

static double interpolate(double x, double x0, double x1, double y0, double y1) {
    return y0 + ((x - x0) / (x1 - x0)) * (y1 - y0);
}

double level_pool_chain(const struct chain_params* p, double storage, double elevation, long steps, long step,
                        const double* inflow_term, const double* release) {
    double S = storage;
    double E = elevation;
    for (long k = 0; k < steps; ++k) {
        for (long i = 0; i < step; ++i) {
            const double spill = interpolate(E + p->spill_offset, p->spill_x0, p->spill_x1, p->spill_y0, p->spill_y1);
            double gate = interpolate(E, p->gate_x0, p->gate_x1, p->gate_y0, p->gate_y1);
            gate = p->gate_cap < gate ? p->gate_cap : gate;
            const double scheduled = p->release_cap < release[i] ? p->release_cap : release[i];
            double Q = 0.0;
            Q = Q + spill;
            Q = Q + gate;
            Q = Q + scheduled;
            Q = Q + p->constant;
            S = (S + inflow_term[i]) - Q;
            S = S > 0.0 ? S : 0.0;
            E = interpolate(S, p->storage_x0, p->storage_x1, p->storage_y0, p->storage_y1);
        }
    }
    return S + E;
}
