"""A worked storm event through quellmar's routines.

Run it after installing the package:

    python -m pip install . && python examples/storm_event.py
"""

from datetime import timedelta

import quellmar

HOUR = timedelta(hours=1)


def design_storm():
    """A 6-hour design storm of 3.1 inches, hourly depths (inches per hour)."""
    depths = [0.10, 0.35, 1.20, 0.80, 0.45, 0.20]
    return quellmar.utils.IncrementalTimeSeries(depths, HOUR, "rainfall")


def main():
    storm = design_storm()
    fine = storm.disaggregate(900)
    print("Design storm")
    print(f"  {len(storm.data)} hourly depths, {sum(storm.data):.2f} in over {storm.total_duration() / 3600:.0f} h")
    print(f"  at 15-minute steps: {len(fine.data)} depths, {sum(fine.data):.2f} in")


if __name__ == "__main__":
    main()
