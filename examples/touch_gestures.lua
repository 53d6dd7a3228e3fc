-- Touch gestures on a phone or tablet driven by the device's touch screen.
-- Run: tapline examples/touch_gestures.lua net 127.0.0.1 9000

-- Coordinates are in the target screen's own units: tell the device its size first.
TouchSet(1080, 2400)

-- Taps.
TouchClick(540, 1200)      -- tap the centre
sleep(300)
TouchDbClick(540, 1200)    -- double tap
sleep(300)
TouchLongClick(200, 400)   -- press for a second

-- Slides across the screen in the four directions.
TouchSlideUp()
TouchSlideDown()
TouchSlideLeft()
TouchSlideRight()

-- A slide along any line, 10 ms between its points (20 ms when left out).
TouchSlide(100, 2000, 900, 600, 10)

-- Two fingers: pinch in and out.
TouchZoomIn()
TouchZoomOut()

-- Contacts by hand: put finger 0 down, move it, lift it.
Touch(300, 1500)           -- finger 0 touching at (300, 1500)
for y = 1500, 900, -100 do
  Touch(1, 0, 300, y)      -- state 1 (touching), contact 0
  sleep(15)
end
TouchRelease(0)

-- Phone keys of the consumer page.
AndroidBack()
AndroidHome()
