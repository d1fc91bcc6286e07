"""A whole training run's console output, as the korva toolkit prints it."""

from korva.utils import display as d


def main() -> None:
    d.print_logo()
    for name in ("RESET", "BOLD", "DIM", "CYAN", "GREEN", "YELLOW", "BLUE", "MAGENTA", "RED", "WHITE", "GRAY"):
        print("  " + d._c(name, getattr(d, name)))
    d.print_training_start()
    d.print_predict_start()
    d.print_visualize_start()
    d.print_training_done()


if __name__ == "__main__":
    main()
