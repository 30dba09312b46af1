// The median of a benchmark's per-iteration times (the upper one of an even
// count); reorders the samples.
#ifndef VESNAR_MEDIAN_H
#define VESNAR_MEDIAN_H

#include <algorithm>
#include <vector>

inline double median(std::vector<double> &samples)
{
    std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
    return samples[samples.size() / 2];
}

#endif
