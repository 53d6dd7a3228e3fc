#!/usr/bin/python3
"""OpenCV's template matching on the images bench_screen wrote, for comparison.

usage: opencv_match.py SCREEN.bmp PATTERN.bmp [RUNS]
Prints the median and fastest time of cv2.matchTemplate (TM_SQDIFF) plus minMaxLoc, and
where the best match lies.
"""
import statistics
import sys
import time

import cv2


def main():
    screen = cv2.imread(sys.argv[1], cv2.IMREAD_COLOR)
    pattern = cv2.imread(sys.argv[2], cv2.IMREAD_COLOR)
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 10
    cv2.matchTemplate(screen, pattern, cv2.TM_SQDIFF)  # warm
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        result = cv2.matchTemplate(screen, pattern, cv2.TM_SQDIFF)
        _, _, location, _ = cv2.minMaxLoc(result)
        times.append((time.perf_counter() - start) * 1000)
    print("%-58s median %8.3f ms   min %8.3f ms   (%d runs, best at %d,%d, %d threads)" % (
        "OpenCV matchTemplate TM_SQDIFF + minMaxLoc", statistics.median(times), min(times),
        runs, location[0], location[1], cv2.getNumThreads()))


if __name__ == "__main__":
    main()
